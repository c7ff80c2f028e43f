#include "app/qt/QtMainWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QEnterEvent>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QFont>
#include <QMessageBox>
#include <QPalette>
#include <QSessionManager>
#include <QShowEvent>
#include <QTimer>

#include <algorithm>
#include <new>

#include "app/qt/Artwork.h"
#include "app/qt/Colors.h"
#include "platform/Shell.h"

namespace {

// The window font: "MS Sans Serif" 8 point where it exists, otherwise the
// closest sans-serif, 11 pixels high as 8 point is at 96 pixels per inch.
QFont WindowFont()
{
    QFont font("MS Sans Serif");
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    return font;
}

std::optional<std::string> ShowOpenDialog(const FileDialogRequest& request)
{
    QFileDialog dialog(nullptr, QString::fromStdString(request.title));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    QStringList filters;
    for (const std::string& f : QtNameFilters(request.filter)) filters << QString::fromStdString(f);
    dialog.setNameFilters(filters);
    if (!filters.isEmpty()) dialog.selectNameFilter(filters.first());
    // The initial directory is the last file's full path: open its folder and
    // preselect its name.
    if (!request.initialDirectory.empty()) {
        const QFileInfo info(QString::fromStdString(request.initialDirectory));
        dialog.setDirectory(info.isDir() ? info.absoluteFilePath() : info.absolutePath());
    }
    if (!request.initialFileName.empty()) dialog.selectFile(QString::fromStdString(request.initialFileName));
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty()) return std::nullopt;
    return chosen.first().toStdString();
}

void ShowErrorBox(const std::string& message)
{
    QMessageBox::critical(nullptr, QCoreApplication::applicationName(), QString::fromStdString(message));
}

}  // namespace

std::vector<std::string> QtNameFilters(const std::string& filter)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= filter.size()) {
        const size_t bar = filter.find('|', start);
        parts.push_back(filter.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
        if (bar == std::string::npos) break;
        start = bar + 1;
    }
    std::vector<std::string> out;
    for (size_t i = 0; i + 1 < parts.size(); i += 2) {
        std::string caption = parts[i];
        // Patterns: ';'-separated in the toolkit, blank-separated in Qt.
        std::string patterns;
        size_t p = 0;
        const std::string& list = parts[i + 1];
        while (p <= list.size()) {
            const size_t semi = list.find(';', p);
            std::string one = list.substr(p, semi == std::string::npos ? std::string::npos : semi - p);
#ifndef _WIN32
            if (one == "*.*") one = "*";
#endif
            if (!one.empty()) patterns += (patterns.empty() ? "" : " ") + one;
            if (semi == std::string::npos) break;
            p = semi + 1;
        }
        // Qt takes the patterns from the parentheses, so the caption's own
        // copy of them is replaced.
        const size_t paren = caption.rfind(" (");
        if (paren != std::string::npos && !caption.empty() && caption.back() == ')') caption.erase(paren);
        out.push_back(caption + " (" + patterns + ")");
    }
    return out;
}

QtWindowServices QtWindowServices::Defaults()
{
    QtWindowServices s;
    const FormServices core = FormServices::Defaults();
    s.openRegistry = core.openRegistry;
    s.chooseFile = ShowOpenDialog;
    s.openAddress = ShellOpen;
    s.showError = ShowErrorBox;
    s.terminate = [] { QCoreApplication::quit(); };
    s.allocateImage = core.allocateImage;
    return s;
}

QtMainWindow* MainWindow() { return Form1 ? dynamic_cast<QtMainWindow*>(&Form1->View()) : nullptr; }

// --- Components -------------------------------------------------------------

TStatusEdit::TStatusEdit(QWidget* parent) : QLineEdit(parent) { SetColor(clBtnFace); }

void TStatusEdit::SetText(const std::string& text) { setText(QString::fromStdString(text)); }

std::string TStatusEdit::Text() const { return text().toStdString(); }

void TStatusEdit::SetColor(TColor color)
{
    color_ = color;
    QPalette p = palette();
    const QColor shown = ToQColor(color, QApplication::palette());
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        p.setColor(group, QPalette::Base, shown);
    setPalette(p);
}

void TEventLabel::mouseDoubleClickEvent(QMouseEvent* event)
{
    QLabel::mouseDoubleClickEvent(event);
    if (onDoubleClick) onDoubleClick();
}

void TEventLabel::enterEvent(QEnterEvent* event)
{
    QLabel::enterEvent(event);
    if (onMouseEnter) onMouseEnter();
}

void TEventLabel::leaveEvent(QEvent* event)
{
    QLabel::leaveEvent(event);
    if (onMouseLeave) onMouseLeave();
}

// --- The window -------------------------------------------------------------

QtMainWindow::QtMainWindow(QtWindowServices services) : QWidget(nullptr), services_(std::move(services))
{
    const QtWindowServices defaults = QtWindowServices::Defaults();
    if (!services_.chooseFile) services_.chooseFile = defaults.chooseFile;
    if (!services_.openAddress) services_.openAddress = defaults.openAddress;
    if (!services_.showError) services_.showError = defaults.showError;
    if (!services_.terminate) services_.terminate = defaults.terminate;

    CreateComponents();
    FormServices core;
    core.openRegistry = services_.openRegistry;
    core.allocateImage = services_.allocateImage;
    core.link = services_.link;
    logic_ = std::make_unique<TForm1>(*this, std::move(core));

    connect(qApp, &QGuiApplication::commitDataRequest, this, [this](QSessionManager&) { QueryEndSession(); });
}

bool QtMainWindow::QueryEndSession() { return logic_->OnQueryEndSession(); }

QtMainWindow::~QtMainWindow() = default;

void QtMainWindow::CreateComponents()
{
    setWindowTitle(kCaption);
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(378, 155);
    setFont(WindowFont());
    setWindowIcon(AppIcon());

    // Every event reaches its handler through Guarded: an error that escapes
    // is shown and the message loop goes on.
    const auto handle = [this](void (TForm1::*handler)(void*), QObject* sender) {
        return [this, handler, sender] { logic_->Guarded([&] { (logic_.get()->*handler)(sender); }); };
    };

    Image1 = new TEventLabel(this);
    Image1->setObjectName("Image1");
    Image1->setGeometry(165, 8, 204, 89);
    Image1->setAlignment(Qt::AlignCenter);
    Image1->setPixmap(DrawLogo());
    Image1->onDoubleClick = handle(&TForm1::Image1DblClick, Image1);

    ComPort = new QComboBox(this);
    ComPort->setObjectName("ComPort");
    ComPort->setGeometry(88, 8, 65, 21);
    ComPort->setEditable(true);
    ComPort->setInsertPolicy(QComboBox::NoInsert);
    for (int i = 1; i <= kPortEntries; ++i) ComPort->addItem(QString("Com%1").arg(i));
    ComPort->setCurrentIndex(-1);
    ComPort->setEditText("Com1");

    Label1 = new QLabel("Com port:", this);
    Label1->setObjectName("Label1");
    // Sized to its text as the toolkit's labels are, at least 45 x 13.
    Label1->setGeometry(8, 12, std::max(45, Label1->sizeHint().width()), 13);

    // Enter presses the focused push button, as in a dialog.
    Load = new QPushButton("Load File", this);
    Load->setObjectName("Load");
    Load->setGeometry(8, 32, 145, 25);
    Load->setAutoDefault(true);
    connect(Load, &QPushButton::clicked, this, handle(&TForm1::LoadClick, Load));

    Program = new QPushButton("Program", this);
    Program->setObjectName("Program");
    Program->setGeometry(8, 64, 145, 25);
    Program->setAutoDefault(true);
    Program->setEnabled(false);
    connect(Program, &QPushButton::clicked, this, handle(&TForm1::ProgramClick, Program));

    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName("ProgressBar1");
    ProgressBar1->setGeometry(8, 112, 361, 12);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);

    LinkLabel = new TEventLabel(this);
    LinkLabel->setObjectName("LinkLabel");
    LinkLabel->setGeometry(165, 96, 204, 13);
    LinkLabel->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    LinkLabel->setAutoFillBackground(false);
    LinkLabel->setAttribute(Qt::WA_TranslucentBackground);
    QFont linkFont = WindowFont();
    linkFont.setBold(false);
    linkFont.setUnderline(false);
    LinkLabel->setFont(linkFont);
    QPalette linkPalette = LinkLabel->palette();
    linkPalette.setColor(QPalette::WindowText, QColor(0, 0, 128));  // navy
    LinkLabel->setPalette(linkPalette);
    LinkLabel->onDoubleClick = handle(&TForm1::LinkLabelDblClick, LinkLabel);
    LinkLabel->onMouseEnter = handle(&TForm1::LinkLabelMouseEnter, LinkLabel);
    LinkLabel->onMouseLeave = handle(&TForm1::LinkLabelMouseLeave, LinkLabel);

    StatusField = new TStatusEdit(this);
    StatusField->setObjectName("Status");
    StatusField->setGeometry(8, 128, 361, 21);
    QFont statusFont = WindowFont();
    statusFont.setBold(true);
    StatusField->setFont(statusFont);

    VerifyCheckBox = new QCheckBox("Verify programming", this);
    VerifyCheckBox->setObjectName("VerifyCheckBox");
    VerifyCheckBox->setGeometry(8, 94, 145, 17);
    VerifyCheckBox->setChecked(true);

    // Tab order: Load, Program, ProgressBar1 (no tab stop), Status, ComPort,
    // VerifyCheckBox.
    ProgressBar1->setFocusPolicy(Qt::NoFocus);
    QWidget::setTabOrder(Load, Program);
    QWidget::setTabOrder(Program, ProgressBar1);
    QWidget::setTabOrder(ProgressBar1, StatusField);
    QWidget::setTabOrder(StatusField, ComPort);
    QWidget::setTabOrder(ComPort, VerifyCheckBox);
    Load->setFocus();
}

// --- TFormView --------------------------------------------------------------

QWidget* QtMainWindow::Widget(Control control) const
{
    switch (control) {
        case Control::VerifyCheckBox: return VerifyCheckBox;
        case Control::ComPort: return ComPort;
        case Control::Load: return Load;
        case Control::Program: return Program;
        case Control::Status: return StatusField;
    }
    return Load;
}

void QtMainWindow::SetEnabled(Control control, bool enabled) { Widget(control)->setEnabled(enabled); }

std::optional<Control> QtMainWindow::FocusedControl() const
{
    // The window's focus widget: the one that has the focus, or gets it when
    // the window is activated again. A disabled one has handed it on.
    QWidget* focus = focusWidget();
    if (focus == nullptr || !focus->isEnabled()) return std::nullopt;
    for (Control control :
         {Control::VerifyCheckBox, Control::ComPort, Control::Load, Control::Program, Control::Status}) {
        QWidget* widget = Widget(control);
        if (focus == widget || widget->isAncestorOf(focus)) return control;
    }
    return std::nullopt;
}

bool QtMainWindow::FocusControl(Control control)
{
    QWidget* widget = Widget(control);
    if (!widget->isEnabled()) return false;
    widget->setFocus(Qt::OtherFocusReason);
    return true;
}

int QtMainWindow::SelectedPort() const
{
    const int index = ComPort->currentIndex();
    if (index >= 0 && ComPort->currentText() != ComPort->itemText(index)) return -1;
    return index;
}

void QtMainWindow::SelectPort(int index) { ComPort->setCurrentIndex(index); }

bool QtMainWindow::VerifyChecked() const { return VerifyCheckBox->isChecked(); }

void QtMainWindow::SetProgress(int position) { ProgressBar1->setValue(position); }

void QtMainWindow::SetLinkCaption(const std::string& text) { LinkLabel->setText(QString::fromStdString(text)); }

void QtMainWindow::SetLinkStyle(bool bold, bool underline)
{
    QFont font = LinkLabel->font();
    font.setBold(bold);
    font.setUnderline(underline);
    LinkLabel->setFont(font);
}

void QtMainWindow::MoveTo(std::optional<int> left, std::optional<int> top)
{
    // With one value only, the window system places the window first and it
    // then moves along that axis alone.
    if (left && top) {
        move(*left, *top);
    } else {
        pendingX_ = left;
        pendingY_ = top;
    }
}

std::optional<std::string> QtMainWindow::ChooseFile(const FileDialogRequest& request)
{
    return services_.chooseFile(request);
}

void QtMainWindow::ShowError(const std::string& message) { services_.showError(message); }

void QtMainWindow::OpenAddress(const std::string& address) { services_.openAddress(address); }

void QtMainWindow::ProcessMessages() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

void QtMainWindow::Terminate() { services_.terminate(); }

void QtMainWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!pendingX_ && !pendingY_) return;
    const std::optional<int> x = pendingX_;
    const std::optional<int> y = pendingY_;
    pendingX_.reset();
    pendingY_.reset();
    QTimer::singleShot(0, this, [this, x, y] { move(x.value_or(this->x()), y.value_or(this->y())); });
}

void QtMainWindow::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() != QEvent::ActivationChange || !logic_) return;
    if (isActiveWindow()) logic_->WindowActivated();
    else logic_->WindowDeactivated();
}

void QtMainWindow::closeEvent(QCloseEvent* event)
{
    if (logic_->OnCloseRequest()) event->accept();
    else event->ignore();
}
