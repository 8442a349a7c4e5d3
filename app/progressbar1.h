#pragma once

#include <QProgressBar>

// The window's progress bar. It keeps the exact percentage it was given
// (a real number from 0 to 100) and shows it without text.
class ProgressBar1 : public QProgressBar {
    Q_OBJECT
public:
    explicit ProgressBar1(QWidget *parent = nullptr);

    void setPercent(double percent);
    double percent() const { return percent_; }

private:
    double percent_ = 0;
};
