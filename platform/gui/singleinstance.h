#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>

class QLocalServer;
class QLocalSocket;

namespace Platform {

// Lets a later start of the program by the same user hand its paths to the
// window already open, instead of opening a second window.
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

// The real channel: a local socket "rasterwell.socket" in the user's private
// runtime folder. A lock file beside it lets only one start at a time look
// for a listening window and start listening, so two starts at the same
// moment end with one window that has both starts' paths. A socket left
// behind by a window that ended (nobody accepts on it) is replaced.
class LocalInstanceChannel final : public InstanceChannel {
public:
    // `folder`: where the socket lives; by default privateRuntimeFolder().
    explicit LocalInstanceChannel(std::optional<QString> folder = std::nullopt);
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

} // namespace Platform
