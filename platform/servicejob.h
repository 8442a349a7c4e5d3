#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

class QSocketNotifier;

namespace Platform {

// One job handed straight to the render service ("rwrender --serve") over
// its Unix socket, with what a companion started as a process would hand
// it: its command line, environment, working folder, standard streams,
// an inherited descriptor (a staging lock), file-creation mask and limits.
// While it runs, the service's notices wake the Qt event loop. Destroying
// the job hangs up: the service then kills the worker, as it does for a
// client that ends.
class ServiceJob {
public:
    struct Request {
        bool probe = false;          // the password probe; otherwise the renderer
        QStringList arguments;       // argv, the program first
        QStringList environment;     // the whole environment, "NAME=value"
        QString workingFolder;       // empty: ours
        QString errorFile;           // standard error, created or truncated (never through a link)
        // Passed on as a started child keeps them (inheritedDescriptors()).
        int secretDescriptor = -1;   // the passwords' pipe: the first inherited descriptor
        int inheritDescriptor = -1;  // passed on as an inherited descriptor
    };

    // Nothing when the service cannot be reached or does not take up the
    // connection within `acceptMs`, or when the request cannot be sent: the
    // caller then starts the companion as a process.
    static std::unique_ptr<ServiceJob> start(const QString &socketPath, const Request &request,
                                             int acceptMs = 2000);
    ~ServiceJob();
    ServiceJob(const ServiceJob &) = delete;
    ServiceJob &operator=(const ServiceJob &) = delete;

    // Without waiting: nothing while the job runs, then its exit status as
    // a launcher would report it (128 + signal for a killed worker).
    std::optional<int> exitStatus();
    // Whether the worker was killed by a signal (known once exitStatus() is).
    bool killed() const { return killedBy_ != 0; }
    int killedBy() const { return killedBy_; }
    // Whether the job ended without the service's word on it (the service
    // went or fell silent; the worker, if any, was killed).
    bool lost() const { return lost_; }
    // Stops the job: the service kills its worker and says so; waits for
    // that (bounded), killing the worker itself when the service is silent.
    void end(int waitMs = 5000);

private:
    ServiceJob();
    bool readNotices(int waitMs);
    void say(const QByteArray &line) const;

    // The connection, the worker's pidfd (once one has the job) and the
    // job's standard error, for the client's own words.
    struct Descriptors;
    std::unique_ptr<Descriptors> fds_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::optional<int> status_;
    int killedBy_ = 0;
    bool gone_ = false; // the service ended the connection without a reply
    bool lost_ = false;
    bool stopping_ = false; // end() asked for the stop: no word on the kill
    bool probe_ = false; // ended without the service's word on the job
    QElapsedTimer silence_;
};

// Waits until a Unix socket at `socketPath` accepts connections: true once
// it does, false after `limitMs` or as soon as `stillStarting` says the
// listener will not come.
bool waitForListener(const QString &socketPath, int limitMs, const std::function<bool()> &stillStarting);

} // namespace Platform
