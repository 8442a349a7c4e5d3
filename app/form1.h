#pragma once

#include "app/services.h"
#include "platform/pointer.h"

#include <QCursor>
#include <QWidget>
#include <memory>
#include <optional>

class ConvertCommand;
class ListView1;
class PathIntake;
class PictureButton;
class ProgressBar1;
class QPushButton;

// The main window: the document list across the top, the three command
// buttons below it and the progress bar at the bottom.
class Form1 : public QWidget, public Platform::PointerSetting {
    Q_OBJECT
public:
    explicit Form1(AppServices services, QWidget *parent = nullptr);
    ~Form1() override;

    // The start-up sequence; runs once, before the window is first shown.
    void load();

    // The window's pointer setting: default, hourglass or custom (the hand).
    int pointer() const override { return pointer_; }
    void setPointer(int code) override;
    const std::optional<QCursor> &customPointer() const { return customPointer_; }
    void setCustomPointer(std::optional<QCursor> cursor) { customPointer_ = std::move(cursor); }

    const AppServices &services() const { return services_; }

    ListView1 *listView1() const { return listView1_; }
    PictureButton *check1() const { return check1_; }
    PictureButton *check2() const { return check2_; }
    PictureButton *check4() const { return check4_; }
    QPushButton *command1() const { return command1_; }
    ProgressBar1 *progressBar1() const { return progressBar1_; }

    // Adds paths as a drop does: a file as given, a folder searched like
    // "Add All PDF File(s) In Folder", a path that does not exist left out
    // and named in a message box.
    void addPaths(const QStringList &paths);
    // Paths a later start of the program handed over: the window comes to
    // the front (restored if minimised), then adds them.
    void takeHandedOverPaths(const QStringList &paths);

    // Pointer feedback: over a command button, and over the bare window.
    void buttonPointerMoved();
    void surfacePointerMoved();

    // Click handlers of the three two-state buttons: each acts only when its
    // button reads checked, lets it spring back, then runs its command.
    void check1Click();
    void check2Click();
    void check4Click();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void buildControls();

    AppServices services_;
    int pointer_ = Platform::PointerDefault;
    std::optional<QCursor> customPointer_;

    ProgressBar1 *progressBar1_ = nullptr;
    PictureButton *check4_ = nullptr;
    ListView1 *listView1_ = nullptr;
    QPushButton *command1_ = nullptr;
    PictureButton *check2_ = nullptr;
    PictureButton *check1_ = nullptr;

    // Serves drops, handed-over paths and the add-folder command in turn.
    std::unique_ptr<PathIntake> intake_;
    // The conversion run behind "Convert!", made on the first press.
    std::unique_ptr<ConvertCommand> convert_;
};
