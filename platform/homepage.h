#pragma once

#include <QString>

namespace Platform {

// Opens a web address in the user's browser, without waiting.
class HomePageOpener {
public:
    virtual ~HomePageOpener() = default;
    // False when the opener could not be started.
    virtual bool open(const QString &url) = 0;
};

class XdgHomePageOpener final : public HomePageOpener {
public:
    bool open(const QString &url) override;
};

} // namespace Platform
