#include <windows.h>

#include <string>
#include <vector>

#include "exceptions/exceptions.h"
#include "files/file_handle.h"
#include "systools/process_wrapper.h"

namespace kro::systools {
namespace {

using files::unique_kernel_handle;

constexpr DWORD read_block = 102400;
constexpr DWORD poll_ms = 10;
#if defined(__i386__)
static_assert(sizeof(STARTUPINFOW) == 68, "STARTUPINFOW of a 32-bit process");
#endif

[[noreturn]] void raise_last(const wchar_t* format, const std::wstring& command_line) {
  throw kro::exceptions::error(static_cast<int32_t>(GetLastError()), format, command_line.c_str());
}

// The executable as one token: wrapped in double quotes when it holds white
// space (a path never holds a double quote).
std::wstring quote_program(const std::wstring& path) {
  if (path.find_first_of(L" \t") == std::wstring::npos) return path;
  return L"\"" + path + L"\"";
}

// One anonymous pipe; the end the parent keeps is not inherited.
struct pipe_pair {
  unique_kernel_handle parent;
  unique_kernel_handle child;
};

pipe_pair make_pipe(bool child_reads, DWORD size) {
  SECURITY_ATTRIBUTES inherit{};
  inherit.nLength = sizeof(inherit);
  inherit.bInheritHandle = TRUE;
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, size)) {
    throw kro::exceptions::error(static_cast<int32_t>(GetLastError()), "Unable to create a pipe!");
  }
  pipe_pair p;
  p.parent.reset(child_reads ? write_end : read_end);
  p.child.reset(child_reads ? read_end : write_end);
  if (!SetHandleInformation(p.parent.get(), HANDLE_FLAG_INHERIT, 0)) {
    throw kro::exceptions::error(static_cast<int32_t>(GetLastError()), "Unable to create a pipe!");
  }
  return p;
}

struct output_reader {
  HANDLE pipe = nullptr;
  std::string* out = nullptr;
  bool open = false;
};

// Reads what is waiting in the pipe (at most one block); false once the
// writing side is gone.
bool read_available(output_reader& r, bool& got) {
  DWORD available = 0;
  if (!PeekNamedPipe(r.pipe, nullptr, 0, nullptr, &available, nullptr)) return false;
  if (available == 0) return true;
  std::vector<char> buffer(available < read_block ? available : read_block);
  DWORD read = 0;
  if (!ReadFile(r.pipe, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) return false;
  r.out->append(buffer.data(), read);
  got = got || read > 0;
  return true;
}

class process_wrapper_impl final : public process_wrapper_intf {
 public:
  uint32_t run(const std::wstring& command_line, bool show_window, bool inherit_handles, uint32_t timeout_ms,
               std::string* std_out, std::string* std_err) override {
    process_request request;
    request.command_line = command_line;
    request.show_window = show_window;
    request.inherit_handles = inherit_handles;
    request.timeout_ms = timeout_ms;
    request.std_out = std_out;
    request.std_err = std_err;
    return run(request);
  }

  uint32_t run(const std::wstring& application, const std::wstring& command_line, bool show_window,
               bool inherit_handles, uint32_t timeout_ms) override {
    std::wstring whole = quote_program(application);
    if (!command_line.empty()) whole += L' ' + command_line;
    return run(whole, show_window, inherit_handles, timeout_ms, nullptr, nullptr);
  }

  uint32_t run(const process_request& request) override {
    const bool redirect = request.std_in || request.std_out || request.std_err;
    pipe_pair in, out, err;
    if (request.std_in) {
      const size_t size = request.std_in->size();
      in = make_pipe(true, size > 0xFFFFFFFFu - 1 ? 0 : static_cast<DWORD>(size));
    }
    if (request.std_out) out = make_pipe(false, read_block);
    if (request.std_err) err = make_pipe(false, read_block);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    DWORD flags = request.show_window ? CREATE_NEW_CONSOLE : CREATE_NO_WINDOW;
    if (!request.show_window) {
      startup.dwFlags |= STARTF_USESHOWWINDOW;
      startup.wShowWindow = SW_HIDE;
    }
    if (request.start_suspended) flags |= CREATE_SUSPENDED;
    if (redirect) {
      startup.dwFlags |= STARTF_USESTDHANDLES;
      startup.hStdInput = in.child ? in.child.get() : GetStdHandle(STD_INPUT_HANDLE);
      startup.hStdOutput = out.child ? out.child.get() : GetStdHandle(STD_OUTPUT_HANDLE);
      startup.hStdError = err.child ? err.child.get() : GetStdHandle(STD_ERROR_HANDLE);
    }

    std::vector<wchar_t> command(request.command_line.begin(), request.command_line.end());
    command.push_back(L'\0');
    const wchar_t* directory = request.current_directory ? request.current_directory->c_str() : nullptr;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr,
                        (request.inherit_handles || redirect) ? TRUE : FALSE, flags, nullptr, directory,
                        &startup, &info)) {
      raise_last(L"Unable to create process '%ls'!", request.command_line);
    }
    const unique_kernel_handle process(info.hProcess);
    { const unique_kernel_handle thread(info.hThread); }
    // The child's ends now belong to the child; without closing them here the
    // output pipes would never report their end.
    in.child.reset();
    out.child.reset();
    err.child.reset();

    if (request.std_in) {
      const std::string& data = *request.std_in;
      size_t done = 0;
      while (done < data.size()) {
        const DWORD chunk =
            static_cast<DWORD>(data.size() - done > read_block ? read_block : data.size() - done);
        DWORD written = 0;
        if (!WriteFile(in.parent.get(), data.data() + done, chunk, &written, nullptr) || written == 0) {
          throw kro::exceptions::error(static_cast<int32_t>(GetLastError()), "Unable to write to the pipe!");
        }
        done += written;
      }
      in.parent.reset();
    }

    if (request.timeout_ms == 0) return STILL_ACTIVE;

    const bool unlimited = request.timeout_ms == INFINITE;
    const ULONGLONG deadline = GetTickCount64() + request.timeout_ms;
    auto remaining = [&]() -> DWORD {
      if (unlimited) return INFINITE;
      const ULONGLONG now = GetTickCount64();
      return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
    };

    output_reader readers[2] = {{out.parent.get(), request.std_out, static_cast<bool>(out.parent)},
                                {err.parent.get(), request.std_err, static_cast<bool>(err.parent)}};
    for (;;) {
      bool got = false;
      bool any_open = false;
      for (auto& r : readers) {
        if (r.open) r.open = read_available(r, got);
        any_open = any_open || r.open;
      }
      if (!any_open || got) {
        if (!any_open) break;
        continue;
      }
      // Nothing waiting: stop once the child has ended (what it wrote has
      // been read; a grandchild holding the pipe does not keep us here) or
      // the time-out has passed.
      const DWORD left = remaining();
      if (left == 0) break;
      const DWORD state = WaitForSingleObject(process.get(), left < poll_ms ? left : poll_ms);
      if (state == WAIT_FAILED) raise_last(L"Unable to wait for process '%ls'!", request.command_line);
      if (state == WAIT_OBJECT_0) {
        for (auto& r : readers) {
          for (bool chunk = true; r.open && chunk;) {
            chunk = false;
            r.open = read_available(r, chunk);
          }
        }
        break;
      }
    }

    if (WaitForSingleObject(process.get(), remaining()) == WAIT_FAILED) {
      raise_last(L"Unable to wait for process '%ls'!", request.command_line);
    }
    DWORD code = 0;
    if (!GetExitCodeProcess(process.get(), &code)) {
      raise_last(L"Unable to retrieve exit status for process '%ls'!", request.command_line);
    }
    return code;
  }
};

}  // namespace

std::unique_ptr<process_wrapper_intf> process_wrapper::factory::create() {
  return std::make_unique<process_wrapper_impl>();
}

}  // namespace kro::systools
