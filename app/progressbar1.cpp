#include "app/progressbar1.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr int Steps = 10000; // resolution of the drawn bar
}

ProgressBar1::ProgressBar1(QWidget *parent) : QProgressBar(parent)
{
    setObjectName(QStringLiteral("ProgressBar1"));
    setRange(0, Steps);
    setValue(0);
    setTextVisible(false);
}

void ProgressBar1::setPercent(double percent)
{
    percent_ = percent;
    setValue(int(std::lround(std::clamp(percent, 0.0, 100.0) * Steps / 100.0)));
}
