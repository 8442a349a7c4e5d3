#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>

class QLocalServer;
class QLocalSocket;

namespace Platform {

// Lets a later start of the program by the same user on the same display
// hand its paths to the window already open there, instead of opening a
// second window. A start on another display opens its own window.
class InstanceChannel {
public:
    enum class Outcome {
        HandedOver, // the open window took the paths: this start is done
        Listening,  // this start's window takes the paths of later starts
        Alone,      // this start's window stands alone (see problem())
    };
    using Receiver = std::function<void(const QStringList &paths)>;

    virtual ~InstanceChannel() = default;

    // With `handOver`, offers `paths` to the window that listens for this
    // user. When none does (or without `handOver`, when none listens yet),
    // this start listens: `receive` is then called from the event loop with
    // each later start's paths.
    virtual Outcome start(const QStringList &paths, bool handOver, Receiver receive) = 0;

    // Stops listening, so later starts do not look for this window.
    virtual void stop() = 0;

    // Why the channel could not be used or the open window did not take the
    // paths; "" when there is nothing to say.
    virtual QString problem() const = 0;
};

// The real channel: a local socket in the user's private runtime folder,
// named after the display (socketNameFor(displayKey)). A lock file beside it lets only one start at a time look
// for a listening window and start listening, so two starts at the same
// moment end with one window that has both starts' paths. A socket left
// behind by a window that ended (nobody accepts on it) is replaced.
class LocalInstanceChannel final : public InstanceChannel {
public:
    // `folder`: where the socket lives; by default privateRuntimeFolder().
    // `display`: the display key; by default currentDisplayKey().
    explicit LocalInstanceChannel(std::optional<QString> folder = std::nullopt,
                                  std::optional<QString> display = std::nullopt);
    ~LocalInstanceChannel() override;
    LocalInstanceChannel(const LocalInstanceChannel &) = delete;
    LocalInstanceChannel &operator=(const LocalInstanceChannel &) = delete;

    Outcome start(const QStringList &paths, bool handOver, Receiver receive) override;
    void stop() override;
    QString problem() const override { return problem_; }

private:
    void acceptConnections();
    void readRequest(QLocalSocket *connection);

    std::optional<QString> folder_;
    std::optional<QString> display_;
    QString problem_;
    Receiver receive_;
    std::unique_ptr<QLocalServer> server_;
};

// The folder for the channel: $XDG_RUNTIME_DIR when it is a folder of this
// user closed to others; otherwise "rasterwell-<uid>" in the temporary
// folder, made with mode 0700 and used only when it belongs to this user and
// is closed to others. Nothing, with the reason in `why`, when there is no
// such folder.
std::optional<QString> privateRuntimeFolder(QString *why = nullptr);

// One spelling for the display a window would open on, so that starts on one
// display find each other and starts on different displays do not.
// `platform` is the Qt platform in use (or asked for in $QT_QPA_PLATFORM;
// empty: chosen as Qt does, Wayland when `waylandDisplay` is set, else X11).
// - X11 (`x11Display` as in $DISPLAY): "x11:<host>:<number>", the screen
//   number dropped (":0" and ":0.0" are one server), "unix" and an empty
//   host both local, the host name in lower case. "localhost:10" stays apart
//   from ":10": the first is reached over TCP (ssh forwarding), the second
//   is the local server of that number.
// - Wayland ($WAYLAND_DISPLAY, "wayland-0" when unset): "wayland:<socket>",
//   a name taken inside `runtimeFolder` as Wayland clients do, so a name and
//   its absolute path are one.
// - another platform (offscreen, vnc, ...): "qpa:<platform>".
// Empty when there is no display at all.
QString displayKey(const QString &platform, const QString &waylandDisplay, const QString &x11Display,
                   const QString &runtimeFolder);

// displayKey() for this process: the running application's platform, the
// environment's displays and $XDG_RUNTIME_DIR.
QString currentDisplayKey();

// The socket's file name for a display key: "rasterwell.socket" for no
// display, otherwise "rasterwell-<hash of the key>.socket" (short, so the
// socket path fits its limit whatever the display is called).
QString socketNameFor(const QString &displayKey);

} // namespace Platform
