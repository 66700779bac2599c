#pragma once
// Window messages registered at static initialisation: the setup master
// hides the splash window with KroSplashScreenHide (lParam 35), and the
// shell announces the taskbar button with TaskbarButtonCreated.

namespace kro::features::splash {

unsigned splash_hide_message();
unsigned taskbar_button_created_message();

}  // namespace kro::features::splash
