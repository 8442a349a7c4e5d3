#pragma once

#include <QString>
#include <optional>

// The application-wide pointer, which takes precedence over every window's
// own pointer while it is not the default (pointer codes of
// platform/pointer.h).
class ApplicationPointer {
public:
    virtual ~ApplicationPointer() = default;
    virtual void setApplicationPointer(int code) = 0;
};

// What a conversion run shows besides its messages: the progress bar and the
// application-wide pointer. The window draws them; the command line prints.
class RunView : public ApplicationPointer {
public:
    // A percentage from 0 to 100, not rounded.
    virtual void setProgress(double percent) = 0;
};

// The documents to convert, addressed by 1-based position. A run reads them
// all when it begins; the list may change afterwards.
class DocumentSource {
public:
    virtual ~DocumentSource() = default;
    virtual int count() const = 0;
    // The document path at `position`, or nothing when the position is gone.
    virtual std::optional<QString> textAt(int position) const = 0;
};
