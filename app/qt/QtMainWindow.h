#pragma once
// The main window on Qt: the real controls at their places, wired to the
// window logic (TForm1), which it owns. Its dialog, error box, link and
// termination go through QtWindowServices so that tests need no modal
// dialog, no real settings store and no desktop.

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/Unit1.h"

class QCloseEvent;
class QShowEvent;

struct QtWindowServices : WindowServices {
    // The production services: the system's settings store, QFileDialog,
    // ShellOpen, QMessageBox, QCoreApplication::quit and new (nothrow).
    static QtWindowServices Defaults();
};

// The status field: a single-line edit with a bold font whose background
// colour the core sets in BGR.
class TStatusEdit final : public QLineEdit, public StatusControl {
public:
    explicit TStatusEdit(QWidget* parent);
    void SetText(const std::string& text) override;
    std::string Text() const override;
    void SetColor(TColor color) override;
    TColor Color() const override { return color_; }

private:
    TColor color_ = clBtnFace;
};

// A label that reports double-clicks and the pointer entering and leaving.
class TEventLabel final : public QLabel {
public:
    explicit TEventLabel(QWidget* parent) : QLabel(parent) {}
    std::function<void()> onDoubleClick;
    std::function<void()> onMouseEnter;
    std::function<void()> onMouseLeave;

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
};

class QtMainWindow final : public QWidget, public TFormView {
public:
    // Creates the controls, then the window logic, which reads the stored
    // settings. Throws std::runtime_error when the card image buffer cannot
    // be allocated; nothing is shown then and Form1 stays null.
    explicit QtMainWindow(QtWindowServices services = QtWindowServices::Defaults());
    ~QtMainWindow() override;

    // Components, in declaration order.
    TEventLabel* Image1;
    QComboBox* ComPort;
    QLabel* Label1;
    QPushButton* Load;
    QPushButton* Program;
    QProgressBar* ProgressBar1;
    TEventLabel* LinkLabel;
    TStatusEdit* StatusField;  // the component "Status"; reached through Status()
    QCheckBox* VerifyCheckBox;

    TForm1& Logic() { return *logic_; }
    int ComPortIndex() const { return SelectedPort(); }
    bool RunInProgress() const { return logic_->RunInProgress(); }

    // The desktop session is about to end (the session manager asks for the
    // program's data, or the program got SIGTERM): what Windows' question
    // does (TForm1::OnQueryEndSession). True when the session may end now,
    // the settings stored; false during a Program run, which is asked to stop
    // at its next wait, the window then closing and storing them. The
    // application's quit at the session's end asks the window to close, as
    // the close box does: the settings are stored once more.
    bool QueryEndSession();

    // TFormView.
    void SetEnabled(Control control, bool enabled) override;
    int SelectedPort() const override;
    void SelectPort(int index) override;
    bool VerifyChecked() const override;
    TStatusEdit& Status() override { return *StatusField; }
    void SetProgress(int position) override;
    void SetLinkCaption(const std::string& text) override;
    void SetLinkStyle(bool bold, bool underline) override;
    std::optional<Control> FocusedControl() const override;
    bool FocusControl(Control control) override;
    bool WindowActive() const override { return isActiveWindow(); }
    int Left() const override { return x(); }
    int Top() const override { return y(); }
    void MoveTo(std::optional<int> left, std::optional<int> top) override;
    std::optional<std::string> ChooseFile(const FileDialogRequest& request) override;
    void ShowError(const std::string& message) override;
    void OpenAddress(const std::string& address) override;
    void ProcessMessages() override;
    void CloseWindow() override { close(); }
    void Terminate() override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void CreateComponents();
    QWidget* Widget(Control control) const;

    QtWindowServices services_;
    std::unique_ptr<TForm1> logic_;
    // A stored position with only one of its two values, applied once shown.
    std::optional<int> pendingX_;
    std::optional<int> pendingY_;
};

// The Qt window whose logic is Form1; null when there is none.
QtMainWindow* MainWindow();

// The toolkit's "caption|patterns|caption|patterns" filter as Qt name filters
// ("caption (patterns)"). On systems where "*.*" would skip names without a
// dot it becomes "*".
std::vector<std::string> QtNameFilters(const std::string& filter);
