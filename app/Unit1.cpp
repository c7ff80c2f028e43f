#include "app/Unit1.h"

#include <new>
#include <stdexcept>
#include <utility>

#include "devices/PortChain.h"
#include "programming/CardImageFile.h"
#include "programming/ProgramSequence.h"
#include "reader/AccountLines.h"
#include "settings/SystemRegistry.h"

std::string LastFile;
TCardImage CardImage;
std::string LinkAddress = "https://example.com/velmar";
TForm1* Form1 = nullptr;

const char kCaption[] = "Torvik Card Loader for Norvale USB SM/Phoenix V1.1";
const char kSettingsKey[] = "\\Software\\Velmar_Software\\USB_TorvikLoader\\";
const char kDialogTitle[] = "Load Torvik Loader File";
const char kLoadFilter[] = "TorvikLoader files (*.tvk)|*.tvk|All Files (*.*)|*.*";

namespace {

constexpr int32_t kStoredVersion = 10;

// The window's link: the parts given, or those of the program's own chain,
// with the view's message processing unless a pump was given.
LinkSetup WindowLink(const LinkSetup& given, SystemChain* own, TFormView& view)
{
    LinkSetup setup = given;
    if (own != nullptr) {
        setup = LinkSetup::Of(own->chain);
        setup.processMessages = given.processMessages;
        setup.waitForMessages = given.waitForMessages;
    }
    if (!setup.processMessages) setup.processMessages = [&view] { view.ProcessMessages(); };
    return setup;
}

}  // namespace

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

FormServices FormServices::Defaults()
{
    FormServices s;
    s.openRegistry = [] { return CreateRegistry(); };
    s.allocateImage = [](std::size_t size) { return new (std::nothrow) uint8_t[size]; };
    return s;
}

TForm1::TForm1(TFormView& view, FormServices services)
    : view_(view),
      services_(std::move(services)),
      ownChain_(services_.link.ports == nullptr ? std::make_unique<SystemChain>() : nullptr),
      link_(WindowLink(services_.link, ownChain_.get(), view))
{
    const FormServices defaults = FormServices::Defaults();
    if (!services_.openRegistry) services_.openRegistry = defaults.openRegistry;
    if (!services_.allocateImage) services_.allocateImage = defaults.allocateImage;

    Form1 = this;
    try {
        // 1. The link shows the maker's address.
        view_.SetLinkCaption(LinkAddress);
        // 2-4. The stored settings.
        ReadSettings();
        // 5. The card image buffer. Nothing is loaded yet, so Program stays
        // disabled.
        buffer_ = services_.allocateImage(static_cast<std::size_t>(kCardImageSize));
        if (buffer_ == nullptr)
            throw std::runtime_error("Not enough memory for the card image buffer (" +
                                     std::to_string(kCardImageSize) + " bytes). The program cannot start.");
    } catch (...) {
        // No window exists after a failed construction: nothing may reach it
        // through Form1 while the error is shown.
        Form1 = nullptr;
        throw;
    }
    CardImage.Data = buffer_;
    CardImage.Length = 0;
}

TForm1::~TForm1()
{
    ReleaseCardImage();
    if (Form1 == this) Form1 = nullptr;
}

void TForm1::ReadSettings()
{
    std::unique_ptr<TRegistry> registry = services_.openRegistry();
    if (!registry || !registry->OpenKey(kSettingsKey, true)) return;
    // A value of the wrong type is reported and its default kept; close
    // stores the value afresh, so the next start is clean.
    const auto read = [this, &registry](const char* name, auto get) {
        if (!registry->ValueExists(name)) return;
        try {
            get();
        } catch (const ERegistryException& e) {
            view_.ShowError(e.what());
        }
    };
    read("ComPort", [&] {
        const int32_t index = registry->ReadInteger("ComPort");
        // An index that names no entry leaves none selected.
        if (index >= 0 && index < kPortEntries) view_.SelectPort(index);
    });
    std::optional<int> x;
    std::optional<int> y;
    read("Xpos", [&] { x = registry->ReadInteger("Xpos"); });
    read("Ypos", [&] { y = registry->ReadInteger("Ypos"); });
    read("LastFile", [&] { LastFile = registry->ReadString("LastFile"); });
    registry->CloseKey();
    // Applied as stored, without checking that the window is then on a
    // screen.
    if (x || y) view_.MoveTo(x, y);
}

void TForm1::Guarded(const std::function<void()>& body)
{
    try {
        body();
    } catch (const std::exception& e) {
        view_.ShowError(e.what());
    } catch (...) {
        view_.ShowError("");
    }
}

void TForm1::EndHandler() noexcept
{
    try {
        EnableControls(true);
        // An inactive window gets its focus back when it is activated again.
        if (view_.WindowActive()) GiveFocusBack();
    } catch (...) {
        // The error that ended the handler is the one to show.
    }
    if (closeRequested_) {
        closeRequested_ = false;
        try {
            view_.CloseWindow();
        } catch (...) {
        }
    }
}

void TForm1::EnableControls(bool enabled)
{
    view_.SetEnabled(Control::VerifyCheckBox, enabled);
    view_.SetEnabled(Control::ComPort, enabled);
    view_.SetEnabled(Control::Load, enabled);
    view_.SetEnabled(Control::Program, enabled);
    // Programming needs more than one block's worth of image.
    if (CardImage.Length <= 16) view_.SetEnabled(Control::Program, false);
}

void TForm1::LoadClick(void*)
{
    // The controls come back even if the dialog or the file fails, and a
    // close asked for meanwhile (the load reads into the buffer that closing
    // releases) is carried out.
    struct Reenable {
        TForm1* form;
        ~Reenable()
        {
            form->loading_ = false;
            form->EndHandler();
        }
    } reenable{this};
    loading_ = true;
    RememberFocus();
    EnableControls(false);

    FileDialogRequest request;
    request.title = kDialogTitle;
    request.filter = kLoadFilter;
    request.initialDirectory = LastFile;
    request.initialFileName = NamePart(LastFile);
    const std::optional<std::string> chosen = view_.ChooseFile(request);
    if (chosen && !chosen->empty()) {
        LastFile = *chosen;
        CardImage.Length = ReadCardImageFile(LastFile, CardImage.Data, kCardImageSize);
    }

    if (CardImage.Length < 16) {
        Status().SetText(NamePart(LastFile) + " not loaded.");
        Status().SetColor(clRed);
    } else {
        view_.SetEnabled(Control::Program, true);
        Status().SetText(NamePart(LastFile) + " loaded.");
        Status().SetColor(clLime);
    }
}

void TForm1::ProgramClick(void*)
{
    // Whatever escapes, the port is closed, the controls come back and the
    // window can be closed (a close asked for meanwhile is carried out).
    struct Finish {
        TForm1* form;
        ~Finish()
        {
            form->link_.SerialChannel.Close();
            form->link_.pump.ClearAbort();
            form->running_ = false;
            form->EndHandler();
        }
    };
    running_ = true;
    Finish finish{this};
    RememberFocus();
    EnableControls(false);
    // With a trace (TORVIK_TRACE), the run's account goes between the bytes,
    // and the modem lines say what the reader signals.
    LineWatch* watch = link_.watch;
    std::optional<AccountLines> lines;
    if (watch != nullptr && watch->Tracing()) {
        lines.emplace([watch](const std::string& line) { watch->Note(line); });
        watch->SetModemMeaning(SlotOfModemStatus);
    }
    // A close during the run stops it at its next wait.
    const ProgramRunOutcome outcome =
        RunProgramSequence(link_, *this, CardImage, RunSettings{}, lines ? &*lines : nullptr);
    if (!outcome.error.empty()) view_.ShowError(outcome.error);
}

void TForm1::LinkLabelDblClick(void*) { view_.OpenAddress(LinkAddress); }

void TForm1::Image1DblClick(void*) { view_.OpenAddress(LinkAddress); }

void TForm1::LinkLabelMouseEnter(void*) { view_.SetLinkStyle(true, true); }

// Underlined only: from the first hover on the link stays underlined.
void TForm1::LinkLabelMouseLeave(void*) { view_.SetLinkStyle(false, true); }

void TForm1::StoreSettings()
{
    std::unique_ptr<TRegistry> registry = services_.openRegistry();
    if (!registry || !registry->OpenKey(kSettingsKey, true)) return;
    registry->WriteInteger("Version", kStoredVersion);
    registry->WriteInteger("ComPort", ComPortIndex());
    registry->WriteInteger("Xpos", view_.Left());
    registry->WriteInteger("Ypos", view_.Top());
    registry->WriteString("LastFile", LastFile);
    registry->CloseKey();
}

void TForm1::FormCloseQuery(void*, bool& canClose)
{
    StoreSettings();
    ReleaseCardImage();
    canClose = true;
    view_.Terminate();
}

void TForm1::RememberFocus()
{
    // A control that is about to be disabled loses the focus with it.
    if (const std::optional<Control> focused = view_.FocusedControl()) focus_ = focused;
}

bool TForm1::GiveFocusBack()
{
    if (focus_ && view_.FocusControl(*focus_)) return true;
    return view_.FocusControl(Control::Load);
}

void TForm1::WindowDeactivated()
{
    // During a run the inputs are disabled: what they had is remembered
    // already.
    if (!running_ && !loading_) RememberFocus();
}

bool TForm1::WindowActivated()
{
    if (running_ || loading_ || closed_) return false;
    return GiveFocusBack();
}

bool TForm1::OnQueryEndSession()
{
    if (closed_) return true;
    if (running_) {
        // As for a close.
        StopRunThenClose();
        return false;
    }
    try {
        StoreSettings();
    } catch (const std::exception& e) {
        view_.ShowError(e.what());
    }
    return true;
}

bool TForm1::OnEndSession(bool ending)
{
    if (!ending || closed_) return closed_;
    if (running_ || loading_) {
        // The session does not wait for the run: the settings are stored
        // now, as the run will not reach its close.
        try {
            StoreSettings();
        } catch (...) {
            // Nobody is left to tell.
        }
        return false;
    }
    ReleaseCardImage();
    closed_ = true;
    view_.Terminate();
    return true;
}

void TForm1::StopRunThenClose()
{
    // The run reads the card image: it stops at its next wait, and
    // ProgramClick then closes the port and closes the window, storing the
    // settings.
    closeRequested_ = true;
    link_.pump.RequestAbort();
}

bool TForm1::OnCloseRequest()
{
    if (closed_) return true;
    if (running_) {
        StopRunThenClose();
        return false;
    }
    if (loading_) {
        closeRequested_ = true;
        return false;
    }
    bool canClose = true;
    try {
        FormCloseQuery(this, canClose);
    } catch (const std::exception& e) {
        // A setting that cannot be stored keeps the window open.
        view_.ShowError(e.what());
        return false;
    }
    closed_ = canClose;
    return canClose;
}

void TForm1::ReleaseCardImage()
{
    if (buffer_ == nullptr) return;
    if (CardImage.Data == buffer_) CardImage.Data = nullptr;
    delete[] buffer_;
    buffer_ = nullptr;
}

int RunWindowProgram(const std::function<void(const std::string&)>& showError,
                     const std::function<void()>& createAndRun)
{
    try {
        createAndRun();
    } catch (const std::exception& e) {
        showError(e.what());
    } catch (...) {
        showError("");
    }
    Form1 = nullptr;
    return 0;
}
