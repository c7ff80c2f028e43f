#include "app/Unit1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QEnterEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFont>
#include <QMessageBox>
#include <QPalette>
#include <QShowEvent>
#include <QTimer>

#include <algorithm>
#include <new>
#include <stdexcept>

#include "app/Artwork.h"
#include "app/Colors.h"
#include "platform/Platform.h"
#include "platform/Shell.h"
#include "programming/CardImageFile.h"
#include "programming/ProgramCard.h"
#include "programming/ProgramData.h"
#include "programming/ProgramSequence.h"
#include "reader/StatusMessages.h"
#include "reader/Usb_phoenixinterface.h"
#include "serial/Scom.h"

std::string LastFile;
std::string LinkAddress = "https://example.com/velmar";
TForm1* Form1 = nullptr;

const char kSettingsKey[] = "\\Software\\Velmar_Software\\USB_TorvikLoader\\";
const char kLoadFilter[] = "TorvikLoader files (*.tvk)|*.tvk|All Files (*.*)|*.*";

namespace {

const char kCaption[] = "Torvik Card Loader for Norvale USB SM/Phoenix V1.1";
const char kDialogTitle[] = "Load Torvik Loader File";
constexpr int kPortEntries = 16;
constexpr int32_t kStoredVersion = 10;

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
    for (const std::string& f : request.nameFilters) filters << QString::fromStdString(f);
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

// --- Free helpers -----------------------------------------------------------

std::string NamePart(const std::string& path)
{
#ifdef _WIN32
    const char* separators = "\\/:";
#else
    const char* separators = "/";
#endif
    const size_t cut = path.find_last_of(separators);
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

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

FormServices FormServices::Defaults()
{
    FormServices s;
    s.openRegistry = [] { return CreateRegistry(); };
    s.chooseFile = ShowOpenDialog;
    s.openAddress = ShellOpen;
    s.showError = ShowErrorBox;
    s.terminate = [] { QCoreApplication::quit(); };
    s.allocateImage = [](std::size_t size) { return new (std::nothrow) uint8_t[size]; };
    return s;
}

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

TForm1::TForm1(FormServices services) : QWidget(nullptr), services_(std::move(services))
{
    Form1 = this;
    const FormServices defaults = FormServices::Defaults();
    if (!services_.openRegistry) services_.openRegistry = defaults.openRegistry;
    if (!services_.chooseFile) services_.chooseFile = defaults.chooseFile;
    if (!services_.openAddress) services_.openAddress = defaults.openAddress;
    if (!services_.showError) services_.showError = defaults.showError;
    if (!services_.terminate) services_.terminate = defaults.terminate;
    if (!services_.allocateImage) services_.allocateImage = defaults.allocateImage;

    CreateComponents();

    // 1. The link shows the maker's address.
    LinkLabel->setText(QString::fromStdString(LinkAddress));
    // 2-4. The stored settings; a wrong-typed value ends construction here.
    ReadSettings();
    // 5. The card image buffer. Nothing is loaded yet, so Program stays
    // disabled.
    buffer_ = services_.allocateImage(static_cast<std::size_t>(kCardImageSize));
    if (buffer_ == nullptr)
        throw std::runtime_error("Not enough memory for the card image buffer (" + std::to_string(kCardImageSize) +
                                 " bytes). The program cannot start.");
    CardImage.Data = buffer_;
    CardImage.Length = 0;
}

TForm1::~TForm1()
{
    ReleaseCardImage();
    if (Form1 == this) Form1 = nullptr;
}

void TForm1::CreateComponents()
{
    setWindowTitle(kCaption);
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(378, 155);
    setFont(WindowFont());
    setWindowIcon(AppIcon());

    Image1 = new TEventLabel(this);
    Image1->setObjectName("Image1");
    Image1->setGeometry(165, 8, 204, 89);
    Image1->setAlignment(Qt::AlignCenter);
    Image1->setPixmap(DrawLogo());
    Image1->onDoubleClick = [this] { Guarded([this] { Image1DblClick(Image1); }); };

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

    Load = new QPushButton("Load File", this);
    Load->setObjectName("Load");
    Load->setGeometry(8, 32, 145, 25);
    connect(Load, &QPushButton::clicked, this, [this] { Guarded([this] { LoadClick(Load); }); });

    Program = new QPushButton("Program", this);
    Program->setObjectName("Program");
    Program->setGeometry(8, 64, 145, 25);
    Program->setEnabled(false);
    connect(Program, &QPushButton::clicked, this, [this] { Guarded([this] { ProgramClick(Program); }); });

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
    LinkLabel->onDoubleClick = [this] { Guarded([this] { LinkLabelDblClick(LinkLabel); }); };
    LinkLabel->onMouseEnter = [this] { Guarded([this] { LinkLabelMouseEnter(LinkLabel); }); };
    LinkLabel->onMouseLeave = [this] { Guarded([this] { LinkLabelMouseLeave(LinkLabel); }); };

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

void TForm1::ReadSettings()
{
    std::unique_ptr<TRegistry> registry = services_.openRegistry();
    if (!registry || !registry->OpenKey(kSettingsKey, true)) return;
    if (registry->ValueExists("ComPort")) {
        const int32_t index = registry->ReadInteger("ComPort");
        // An index that names no entry leaves none selected.
        if (index >= 0 && index < ComPort->count()) ComPort->setCurrentIndex(index);
    }
    std::optional<int> x;
    std::optional<int> y;
    if (registry->ValueExists("Xpos")) x = registry->ReadInteger("Xpos");
    if (registry->ValueExists("Ypos")) y = registry->ReadInteger("Ypos");
    if (registry->ValueExists("LastFile")) LastFile = registry->ReadString("LastFile");
    registry->CloseKey();

    // Applied as stored, without checking that the window is then on a
    // screen. With one value only, the window system places the window first
    // and it then moves along that axis alone.
    if (x && y) {
        move(*x, *y);
    } else {
        pendingX_ = x;
        pendingY_ = y;
    }
}

void TForm1::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!pendingX_ && !pendingY_) return;
    const std::optional<int> x = pendingX_;
    const std::optional<int> y = pendingY_;
    pendingX_.reset();
    pendingY_.reset();
    QTimer::singleShot(0, this, [this, x, y] { move(x.value_or(this->x()), y.value_or(this->y())); });
}

void TForm1::Guarded(const std::function<void()>& body)
{
    try {
        body();
    } catch (const std::exception& e) {
        services_.showError(e.what());
    } catch (...) {
        services_.showError("");
    }
}

void TForm1::EnableControls(bool enabled)
{
    VerifyCheckBox->setEnabled(enabled);
    ComPort->setEnabled(enabled);
    Load->setEnabled(enabled);
    Program->setEnabled(enabled);
    // Programming needs more than one block's worth of image.
    if (CardImage.Length <= 16) Program->setEnabled(false);
}

void TForm1::LoadClick(QObject*)
{
    EnableControls(false);
    // The controls come back even if the dialog fails.
    struct Reenable {
        TForm1* form;
        ~Reenable() { form->EnableControls(true); }
    } reenable{this};

    FileDialogRequest request;
    request.title = kDialogTitle;
    request.nameFilters = QtNameFilters(kLoadFilter);
    request.initialDirectory = LastFile;
    request.initialFileName = NamePart(LastFile);
    const std::optional<std::string> chosen = services_.chooseFile(request);
    if (chosen && !chosen->empty()) {
        LastFile = *chosen;
        CardImage.Length = ReadCardImageFile(LastFile, CardImage.Data, kCardImageSize);
    }

    if (CardImage.Length < 16) {
        Status().SetText(NamePart(LastFile) + " not loaded.");
        Status().SetColor(clRed);
    } else {
        Program->setEnabled(true);
        Status().SetText(NamePart(LastFile) + " loaded.");
        Status().SetColor(clLime);
    }
}

void TForm1::ProgramClick(QObject*)
{
    EnableControls(false);
    running_ = true;
    // A close during the run stops it at its next wait; the close follows
    // below.
    const ProgramRunOutcome outcome = RunProgramSequence(*this);
    running_ = false;
    EnableControls(true);

    if (!outcome.error.empty()) services_.showError(outcome.error);
    if (closeRequested_) {
        closeRequested_ = false;
        close();
    }
}

void TForm1::LinkLabelDblClick(QObject*) { services_.openAddress(LinkAddress); }

void TForm1::Image1DblClick(QObject*) { services_.openAddress(LinkAddress); }

void TForm1::LinkLabelMouseEnter(QObject*)
{
    QFont font = LinkLabel->font();
    font.setBold(true);
    font.setUnderline(true);
    LinkLabel->setFont(font);
}

void TForm1::LinkLabelMouseLeave(QObject*)
{
    // Underlined only: from the first hover on the link stays underlined.
    QFont font = LinkLabel->font();
    font.setBold(false);
    font.setUnderline(true);
    LinkLabel->setFont(font);
}

void TForm1::FormCloseQuery(QObject*, bool& canClose)
{
    std::unique_ptr<TRegistry> registry = services_.openRegistry();
    if (registry && registry->OpenKey(kSettingsKey, true)) {
        registry->WriteInteger("Version", kStoredVersion);
        registry->WriteInteger("ComPort", ComPortIndex());
        registry->WriteInteger("Xpos", x());
        registry->WriteInteger("Ypos", y());
        registry->WriteString("LastFile", LastFile);
        registry->CloseKey();
    }
    ReleaseCardImage();
    registry.reset();
    canClose = true;
    services_.terminate();
}

void TForm1::ReleaseCardImage()
{
    if (buffer_ == nullptr) return;
    if (CardImage.Data == buffer_) CardImage.Data = nullptr;
    delete[] buffer_;
    buffer_ = nullptr;
}

void TForm1::closeEvent(QCloseEvent* event)
{
    if (closed_) {
        event->accept();
        return;
    }
    if (running_) {
        // The run reads the card image: it stops at its next wait, and
        // ProgramClick then closes the port and closes the window.
        closeRequested_ = true;
        Platform().abortRequested = true;
        event->ignore();
        return;
    }
    bool canClose = true;
    try {
        FormCloseQuery(this, canClose);
    } catch (const std::exception& e) {
        // A setting that cannot be stored keeps the window open.
        event->ignore();
        services_.showError(e.what());
        return;
    }
    closed_ = canClose;
    if (canClose) event->accept();
    else event->ignore();
}

// --- ProgramWindow ----------------------------------------------------------

int TForm1::ComPortIndex() const
{
    const int index = ComPort->currentIndex();
    if (index >= 0 && ComPort->currentText() != ComPort->itemText(index)) return -1;
    return index;
}

bool TForm1::VerifyChecked() const { return VerifyCheckBox->isChecked(); }

void TForm1::SetProgress(int position) { ProgressBar1->setValue(position); }
