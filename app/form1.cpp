#include "app/form1.h"

#include "app/windowconvert.h"
#include "app/picturebutton.h"
#include "app/progressbar1.h"
#include "app/startup.h"
#include "doclist/addcommands.h"
#include "doclist/listview1.h"
#include "doclist/pathintake.h"
#include "platform/gui/cursors.h"
#include "platform/gui/units.h"

#include <QCloseEvent>
#include <QMouseEvent>
#include <QPushButton>

namespace {

// Place of a control in the window's client area, in twips.
struct Place {
    double left, top, width, height;
};

QRect toPixels(const Place &p)
{
    using Platform::twipsToPixels;
    return {twipsToPixels(p.left), twipsToPixels(p.top), twipsToPixels(p.width),
            twipsToPixels(p.height)};
}

constexpr double ClientWidthTwips = 6990;
constexpr double ClientHeightTwips = 3495;

QFont arialBold(double points)
{
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(points);
    font.setWeight(QFont::Bold);
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    return font;
}

void whiteBackground(QWidget *w)
{
    QPalette pal = w->palette();
    pal.setColor(QPalette::Window, Qt::white);
    pal.setColor(QPalette::Button, Qt::white);
    w->setPalette(pal);
    w->setAutoFillBackground(true);
}

} // namespace

Form1::Form1(AppServices services, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                          | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                          | Qt::WindowCloseButtonHint),
      services_(std::move(services))
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Form1"));
    setFixedSize(Platform::twipsToPixels(ClientWidthTwips), Platform::twipsToPixels(ClientHeightTwips));
    whiteBackground(this);
    // Taskbars and window switchers show the window's own icon.
    setWindowIcon(QIcon(QStringLiteral(":/art/rasterwell.png")));
    setMouseTracking(true);
    buildControls();
    intake_ = std::make_unique<PathIntake>(*listView1_, *this, services_.pump, services_.messages);
    // After the drop has finished: a folder walk may take a while.
    connect(listView1_, &ListView1::pathsDropped, this, &Form1::addPaths, Qt::QueuedConnection);
}

Form1::~Form1() = default;

void Form1::buildControls()
{
    auto makeButton = [this](const char *name, const QString &caption, const QString &picture,
                             const Place &place) {
        auto *b = new PictureButton(this);
        b->setObjectName(QLatin1String(name));
        b->setText(caption);
        b->setIcon(QIcon(picture));
        b->setFont(arialBold(11.25));
        b->setGeometry(toPixels(place));
        whiteBackground(b);
        b->setMouseTracking(true);
        b->installEventFilter(this);
        return b;
    };

    // In the order the window holds them.
    progressBar1_ = new ProgressBar1(this);
    progressBar1_->setGeometry(toPixels({120, 3000, 6735, 375}));

    check4_ = makeButton("Check4", QStringLiteral("Add All PDF File(s) In Folder"),
                         QStringLiteral(":/art/add-folder.png"), {2400, 1800, 2175, 1095});

    listView1_ = new ListView1(this);
    listView1_->setWindowPointer(this);
    listView1_->setAppFolder(services_.appFolder);
    listView1_->setGeometry(toPixels({120, 120, 6735, 1575}));
    listView1_->setFont(arialBold(9));
    listView1_->setToolTip(QStringLiteral(
        "Drag and drop files here. Double-click item to remove it. Move bar to right and out of "
        "window to reveal full names."));

    command1_ = new QPushButton(QStringLiteral("Command1"), this);
    command1_->setObjectName(QStringLiteral("Command1"));
    command1_->setGeometry(toPixels({-720, 2640, 615, 495}));
    command1_->setAutoDefault(false);

    check2_ = makeButton("Check2", QStringLiteral("Convert!"), QStringLiteral(":/art/convert.png"),
                         {4680, 1800, 2175, 1095});
    check1_ = makeButton("Check1", QStringLiteral("Add PDF File(s)"),
                         QStringLiteral(":/art/add-files.png"), {120, 1800, 2175, 1095});

    // Tab order: Command1, Check1, Check2, ListView1, Check4, ProgressBar1.
    setTabOrder(command1_, check1_);
    setTabOrder(check1_, check2_);
    setTabOrder(check2_, listView1_);
    setTabOrder(listView1_, check4_);
    setTabOrder(check4_, progressBar1_);
    command1_->setFocus();

    connect(check1_, &QAbstractButton::clicked, this, &Form1::check1Click);
    connect(check2_, &QAbstractButton::clicked, this, &Form1::check2Click);
    connect(check4_, &QAbstractButton::clicked, this, &Form1::check4Click);
}

void Form1::load()
{
    Startup::run(*this);
}

void Form1::addPaths(const QStringList &paths)
{
    intake_->add(paths);
}

void Form1::takeHandedOverPaths(const QStringList &paths)
{
    if (isMinimized())
        setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    show();
    raise();
    activateWindow();
    addPaths(paths);
}

void Form1::setPointer(int code)
{
    pointer_ = code;
    Platform::setWidgetPointer(this, code, customPointer_);
}

void Form1::buttonPointerMoved()
{
    if (pointer_ != Platform::PointerHourglass)
        setPointer(Platform::PointerCustom);
}

void Form1::surfacePointerMoved()
{
    if (pointer_ != Platform::PointerHourglass)
        setPointer(Platform::PointerDefault);
}

void Form1::check1Click()
{
    if (!check1_->isChecked())
        return;
    check1_->setChecked(false);
    if (services_.dialogs)
        AddCommands::AddFiles(*listView1_, *services_.dialogs, this);
}

void Form1::check2Click()
{
    if (!check2_->isChecked())
        return;
    check2_->setChecked(false);
    // A press while a run waits does nothing (the run guards itself).
    if (!convert_)
        convert_ = std::make_unique<ConvertCommand>(*this);
    convert_->run();
}

void Form1::check4Click()
{
    if (!check4_->isChecked())
        return;
    check4_->setChecked(false);
    if (services_.dialogs)
        AddCommands::AddAllInFolder(*listView1_, *services_.dialogs, *intake_, this);
}

bool Form1::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::MouseMove
        && (watched == check1_ || watched == check2_ || watched == check4_))
        buttonPointerMoved();
    return QWidget::eventFilter(watched, event);
}

void Form1::mouseMoveEvent(QMouseEvent *event)
{
    // Moves over child controls without a handler of their own reach the
    // window too; only the bare surface resets the pointer.
    if (!childAt(event->position().toPoint()))
        surfacePointerMoved();
    QWidget::mouseMoveEvent(event);
}

void Form1::closeEvent(QCloseEvent *event)
{
    event->accept();
    if (services_.endProgram)
        services_.endProgram();
}
