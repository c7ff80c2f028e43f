#pragma once
// One key pressed and released through SendInput, as the keyboard does it:
// it reaches whichever window has the focus, so a disabled control or a lost
// focus shows. Shared by the Win32 window's tests and the end-to-end driver.

#include <windows.h>

inline void SendKeyPress(WORD key)
{
    INPUT input[2] = {};
    for (INPUT& i : input) {
        i.type = INPUT_KEYBOARD;
        i.ki.wVk = key;
    }
    input[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, input, sizeof(INPUT));
}
