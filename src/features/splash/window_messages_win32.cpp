#include <windows.h>

#include "features/splash/window_messages.h"

namespace kro::features::splash {
namespace {

const UINT hide_message = RegisterWindowMessageW(L"KroSplashScreenHide");
const UINT taskbar_message = RegisterWindowMessageW(L"TaskbarButtonCreated");

}  // namespace

unsigned splash_hide_message() { return hide_message; }
unsigned taskbar_button_created_message() { return taskbar_message; }

}  // namespace kro::features::splash
