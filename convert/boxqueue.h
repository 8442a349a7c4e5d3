#pragma once

#include "platform/eventpump.h"
#include "platform/messages.h"

#include <QString>

#include <deque>
#include <memory>

// The run's message boxes, opened one at a time in the order they were
// added: each waits until the one before it has been answered, and the run
// goes on meanwhile.
class BoxQueue {
public:
    explicit BoxQueue(Platform::MessageSink &sink) : sink_(sink) {}

    void add(const QString &text, const QString &title, Platform::MessageIcon icon,
             const QString &details = {})
    {
        waiting_.push_back({text, title, icon, details});
        openNext();
    }
    // Opens the next box when none is open; true when any was opened.
    bool openNext()
    {
        bool any = false;
        // A sink that answers at once lets the next box open at once.
        while (!*open_ && !waiting_.empty()) {
            const Box box = std::move(waiting_.front());
            waiting_.pop_front();
            *open_ = true;
            any = true;
            // The flag outlives the queue: an answer after the run is harmless.
            sink_.openMessage(box.text, box.title, box.icon, box.details,
                              [open = open_] { *open = false; });
        }
        return any;
    }
    // No box is open and none waits.
    bool idle() const { return !*open_ && waiting_.empty(); }
    // Waits until every box has been answered.
    void await(Platform::EventPump &pump, int waitMilliseconds)
    {
        for (openNext(); !idle(); openNext()) {
            pump.processEvents();
            if (!idle())
                pump.waitForEvents(waitMilliseconds);
        }
    }

private:
    struct Box {
        QString text, title;
        Platform::MessageIcon icon;
        QString details;
    };
    Platform::MessageSink &sink_;
    std::deque<Box> waiting_;
    std::shared_ptr<bool> open_ = std::make_shared<bool>(false);
};
