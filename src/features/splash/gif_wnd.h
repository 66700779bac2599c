#pragma once
// The splash window: a borderless window on a thread of its own that plays
// an animated GIF with one line of status text, and mirrors progress on the
// taskbar button.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kro::features::splash {

class gif_wnd_data_intf {
 public:
  virtual std::vector<uint8_t> gif_data() = 0;
  virtual void* icon() = 0;  // HICON, may be null
  virtual const wchar_t* title() = 0;
  virtual const wchar_t* product_name() = 0;
  virtual int text_top() = 0;
  virtual ~gif_wnd_data_intf() = default;
};

class res_gif_wnd_data {
 public:
  class factory {
   public:
    virtual ~factory() = default;
    virtual std::shared_ptr<gif_wnd_data_intf> create(void* module, uint32_t resource_id,
                                                      const std::wstring& resource_type, uint32_t icon_id,
                                                      const std::wstring& title,
                                                      const std::wstring& product_name);
  };
};

class gif_wnd_intf {
 public:
  virtual bool start(bool visible) = 0;
  virtual void stop() = 0;
  virtual void show() = 0;
  virtual void hide() = 0;
  virtual void set_text(const std::wstring& text) = 0;
  virtual void set_progress(int32_t percent) = 0;
  virtual ~gif_wnd_intf() = default;
};

class gif_wnd {
 public:
  class factory {
   public:
    virtual ~factory() = default;
    virtual std::shared_ptr<gif_wnd_intf> create(std::shared_ptr<gif_wnd_data_intf> data);
  };
};

}  // namespace kro::features::splash
