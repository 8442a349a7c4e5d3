#pragma once

#include <QAbstractButton>

// A two-state button drawn as a push button, with a 32 x 32 picture centred
// above a word-wrapped caption. It stays pressed in while checked.
class PictureButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit PictureButton(QWidget *parent = nullptr);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
};
