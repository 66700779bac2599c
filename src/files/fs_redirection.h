#pragma once
// Switches off the WOW64 file-system redirection of the calling thread for
// the lifetime of a scope, so that a 32-bit process on 64-bit Windows sees
// the real system folders. Does nothing where there is no redirection.

namespace kro::files {

class fs_redirection {
 public:
  fs_redirection();
  ~fs_redirection();
  fs_redirection(const fs_redirection&) = delete;
  fs_redirection& operator=(const fs_redirection&) = delete;

  void disable();
  void revert();
  bool disabled() const { return m_disabled; }

 private:
  bool m_wow64 = false;
  void* m_disable = nullptr;  // Wow64DisableWow64FsRedirection, when present
  void* m_revert = nullptr;   // Wow64RevertWow64FsRedirection, when present
  void* m_state = nullptr;
  bool m_disabled = false;
};

// Disabled from construction to destruction.
class fs_redirection_auto : public fs_redirection {
 public:
  fs_redirection_auto() { disable(); }
};

}  // namespace kro::files
