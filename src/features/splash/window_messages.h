#pragma once
// Window messages registered at static initialisation: the setup master
// hides the splash window with KroSplashScreenHide (lParam 35), and the
// shell announces the taskbar button with TaskbarButtonCreated.
//
// The registration is a static object of window_messages_win32.cpp. The
// linker takes that object file into an image only when something there is
// named, so the program entry names both functions (it logs the ids): every
// sfx.exe then registers both messages before its entry runs.

namespace kro::features::splash {

unsigned splash_hide_message();
unsigned taskbar_button_created_message();

}  // namespace kro::features::splash
