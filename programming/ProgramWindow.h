#pragma once
// The main window as card programming sees it: the port chosen, the status
// field, the progress bar and "Verify programming", with the verify policy
// it stands for. The window class and torvik-loader's view implement these
// interfaces; tests use in-memory implementations that record what is shown.

#include <cstdint>
#include <string>

// Colours in the toolkit's BGR encoding (0x00BBGGRR). Values with the top bit
// set name system colours.
using TColor = uint32_t;
constexpr TColor clRed = 0x0000FF;
constexpr TColor clLime = 0x00FF00;
constexpr TColor clYellow = 0x00FFFF;
constexpr TColor clBtnFace = 0x8000000F;

// The single-line status field: its text and its background colour.
class StatusControl {
public:
    virtual ~StatusControl() = default;
    virtual void SetText(const std::string& text) = 0;
    virtual std::string Text() const = 0;
    virtual void SetColor(TColor color) = 0;
    virtual TColor Color() const = 0;
};

// How card programming proves that the card holds the image.
enum class Verification {
    // While writing, a sample of the blocks is read back (one block in 32);
    // nothing more. "Verify programming" clear; torvik-loader -n.
    Sampled,
    // Every block is read back right after each write the card accepted,
    // then the read pass goes over the card. "Verify programming" ticked;
    // torvik-loader --verify=each.
    EachBlock,
    // The sampled read-back while writing, then the read pass: every block
    // read once more after the last write, as device programmers verify.
    // torvik-loader's default.
    AfterWriting,
};

// What card programming reads from and writes to the window.
class ProgramWindow {
public:
    virtual ~ProgramWindow() = default;
    // Index of the selected port entry (0 for Com1 ... 15 for Com16), or -1
    // when no entry is selected.
    virtual int ComPortIndex() const = 0;
    // State of "Verify programming".
    virtual bool VerifyChecked() const = 0;
    // How card programming verifies, read once at the start of a run. The
    // window's rule unless a front end says otherwise: every block and the
    // read pass with "Verify programming" ticked, the sample alone without.
    virtual Verification VerifyMode() const
    {
        return VerifyChecked() ? Verification::EachBlock : Verification::Sampled;
    }
    virtual StatusControl& Status() = 0;
    // Position of the progress bar, 0 to 100.
    virtual void SetProgress(int position) = 0;
};
