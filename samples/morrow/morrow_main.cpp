// morrow.exe: the sample product's setup master. The self-extractor starts it
// from the working folder of its temporary folder with the hand-off file's
// path; it checks the setup files that product-info.xml lists, installs them
// into a folder and writes a report of everything it saw.
//
// Command line (switches as the self-extractor writes them):
//   /morrow-info-path:<file>  the hand-off file (required)
//   /install or /clear        recorded only
//   /install-path:<folder>    target folder; default: the folder
//                             "morrow-installed" beside the temporary folder
//   /exit-code:<n>            exit code on success (decimal, 0..4294967295)
//   /sleep-ms:<n>             wait that long before exiting
// Every other switch and argument is recorded in the report.
//
// Exit codes: 1001 the hand-off file is missing or unreadable; 1002 a setup
// file (or product-info.xml) is missing or does not match its SHA-256 or size;
// 1003 the installation or the report could not be written; otherwise
// /exit-code, else the environment variable MORROW_EXIT_CODE, else 0.
//
// The install folder receives the setup files (only when all of them are
// sound), a copy of the hand-off file as morrow-info.xml and the report
// morrow-report.json.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <exception>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "common/environment.h"
#include "files/directory.h"
#include "files/file_handle.h"
#include "files/safe_name.h"
#include "json.h"
#include "root/sha256.h"
#include "sfx/command_line.h"
#include "sfx/product_info_parser.h"
#include "text/text.h"

namespace {

constexpr uint32_t exit_bad_handoff = 1001;
constexpr uint32_t exit_bad_setup_files = 1002;
constexpr uint32_t exit_install_failed = 1003;

using kro::files::join;
using kro::files::unique_file;
using kro::samples::decimal;
using kro::samples::environment;

// ---- small Win32 helpers ----------------------------------------------------

// Text from a call that fills a buffer and returns the length it needs.
template <class Call>
std::wstring grow(Call call) {
  std::wstring buffer(260, L'\0');
  for (;;) {
    const DWORD n = call(buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return std::wstring();
    if (n < buffer.size()) {
      buffer.resize(n);
      return buffer;
    }
    buffer.resize(static_cast<size_t>(n) * 2);
  }
}

std::wstring module_path() {
  return grow([](wchar_t* b, DWORD n) {
    const DWORD got = GetModuleFileNameW(nullptr, b, n);
    return got == n ? n : got;  // cut short: ask again with more room
  });
}

std::wstring current_directory() {
  return grow([](wchar_t* b, DWORD n) { return GetCurrentDirectoryW(n, b); });
}

std::wstring full_path(const std::wstring& path) {
  const std::wstring full =
      grow([&](wchar_t* b, DWORD n) { return GetFullPathNameW(path.c_str(), n, b, nullptr); });
  return full.empty() ? path : full;
}

std::wstring without_trailing_separators(std::wstring path) {
  while (path.size() > 1 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  return path;
}

// The folder that holds path; empty when there is none.
std::wstring parent_of(const std::wstring& path) {
  const std::wstring trimmed = without_trailing_separators(path);
  const size_t slash = trimmed.find_last_of(L"\\/");
  if (slash == std::wstring::npos || slash == 0) return std::wstring();
  return trimmed.substr(0, slash);
}

bool is_directory(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Creates the folder and its parents; true when it exists afterwards.
bool make_directories(const std::wstring& path) {
  const std::wstring folder = without_trailing_separators(path);
  if (folder.empty() || is_directory(folder)) return !folder.empty();
  const std::wstring parent = parent_of(folder);
  if (!parent.empty() && parent != folder && !is_directory(parent) && !make_directories(parent)) return false;
  return CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

unique_file open_existing(const std::wstring& path) {
  return unique_file(CreateFileW(path.c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

std::optional<std::vector<uint8_t>> read_all(const std::wstring& path) {
  const unique_file file = open_existing(path);
  if (!file) return std::nullopt;
  std::vector<uint8_t> bytes;
  uint8_t chunk[65536];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr)) return std::nullopt;
    if (got == 0) return bytes;
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
}

struct file_facts {
  int64_t size = 0;
  std::wstring sha256;  // lower-case hex
};

// Size and SHA-256 of a file, read from start to end.
std::optional<file_facts> examine(const std::wstring& path) {
  const unique_file file = open_existing(path);
  if (!file) return std::nullopt;
  kro::root::sha256 hash;
  hash.init();
  std::vector<uint8_t> chunk(1 << 20);
  int64_t size = 0;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr))
      return std::nullopt;
    if (got == 0) break;
    hash.update(chunk.data(), got);
    size += got;
  }
  return file_facts{size, hash.finish().to_hex()};
}

// Writes the bytes to a new file beside path and moves it into place, so a
// reader never sees a partial file.
bool write_whole(const std::wstring& path, const std::string& bytes) {
  const std::wstring partial = path + L".partial";
  {
    const unique_file file(CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size()) {
      DeleteFileW(partial.c_str());
      return false;
    }
  }
  if (!MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileW(partial.c_str());
    return false;
  }
  return true;
}

bool copy_into(const std::wstring& source, const std::wstring& target) {
  const std::wstring folder = parent_of(target);
  if (!folder.empty() && !make_directories(folder)) return false;
  return CopyFileW(source.c_str(), target.c_str(), FALSE) != 0;
}

// ---- what the run saw -------------------------------------------------------

struct setup_file {
  std::wstring name;
  std::wstring expected_sha256;
  int64_t expected_size = 0;
  std::optional<file_facts> found;  // nothing: missing, unreadable or unsafe name
  bool ok = false;
};

struct temp_file {
  std::wstring path;  // relative to the temporary folder
  int64_t size = 0;
  std::optional<std::wstring> sha256;  // nothing when it could not be read
};

// Every file below folder, recursively, in name order. Links (reparse points)
// are listed but never entered.
void list_files(const std::wstring& folder, const std::wstring& relative, std::vector<temp_file>& out) {
  WIN32_FIND_DATAW data;
  const HANDLE find = FindFirstFileW(join(folder, L"*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  std::vector<WIN32_FIND_DATAW> entries;
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") entries.push_back(data);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  std::sort(entries.begin(), entries.end(), [](const WIN32_FIND_DATAW& a, const WIN32_FIND_DATAW& b) {
    return std::wcscmp(a.cFileName, b.cFileName) < 0;
  });
  for (const WIN32_FIND_DATAW& entry : entries) {
    const std::wstring path = join(folder, entry.cFileName);
    const std::wstring name =
        relative.empty() ? std::wstring(entry.cFileName) : relative + L"\\" + entry.cFileName;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) list_files(path, name, out);
      continue;
    }
    temp_file file;
    file.path = name;
    file.size = static_cast<int64_t>((static_cast<uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow);
    if (const auto facts = examine(path)) {
      file.size = facts->size;
      file.sha256 = facts->sha256;
    }
    out.push_back(std::move(file));
  }
}

struct run {
  std::wstring command_line;
  std::vector<std::wstring> arguments;
  kro::sfx::command_line::switch_list switches;
  std::optional<std::wstring> morrow_info_path;
  std::optional<std::wstring> temp_base_dir;
  std::optional<std::wstring> install_path;
  std::vector<setup_file> files;
  std::vector<temp_file> temp_files;
  std::vector<std::wstring> errors;
  uint32_t exit_code = 0;
};

std::string render(const run& r) {
  morrow::json::writer w;
  w.begin_object();
  w.key("command_line").string(r.command_line);
  w.key("arguments").begin_array();
  for (const std::wstring& a : r.arguments) w.string(a);
  w.end_array();
  w.key("switches").begin_object();
  for (const auto& [key, value] : r.switches) w.key(kro::text::to_utf8(key)).string(value);
  w.end_object();
  w.key("executable").string(module_path());
  w.key("current_directory").string(current_directory());
  w.key("morrow_info_path").string_or_null(r.morrow_info_path);
  w.key("temp_base_dir").string_or_null(r.temp_base_dir);
  w.key("install_path").string_or_null(r.install_path);
  w.key("files").begin_array();
  for (const setup_file& f : r.files) {
    w.begin_object();
    w.key("name").string(f.name);
    w.key("sha256").string_or_null(f.found ? std::optional<std::wstring>(f.found->sha256) : std::nullopt);
    if (f.found)
      w.key("size").number(f.found->size);
    else
      w.key("size").null();
    w.key("expected_sha256").string(f.expected_sha256);
    w.key("expected_size").number(f.expected_size);
    w.key("ok").boolean(f.ok);
    w.end_object();
  }
  w.end_array();
  w.key("temp_files").begin_array();
  for (const temp_file& f : r.temp_files) {
    w.begin_object();
    w.key("path").string(f.path);
    w.key("size").number(f.size);
    w.key("sha256").string_or_null(f.sha256);
    w.end_object();
  }
  w.end_array();
  w.key("errors").begin_array();
  for (const std::wstring& e : r.errors) w.string(e);
  w.end_array();
  w.key("exit_code").number(r.exit_code);
  w.end_object();
  return w.text() + "\n";
}

// The temporary folder named by the hand-off file; nothing when the file is
// missing, is no XML or names no folder.
std::optional<std::wstring> read_handoff(const std::wstring& path, run& r) {
  const auto bytes = read_all(path);
  if (!bytes) {
    r.errors.push_back(L"The hand-off file '" + path + L"' cannot be read.");
    return std::nullopt;
  }
  pugi::xml_document document;
  const pugi::xml_parse_result parsed = document.load_buffer(bytes->data(), bytes->size());
  if (!parsed) {
    r.errors.push_back(L"The hand-off file is no XML: " + kro::text::from_utf8(parsed.description()) + L".");
    return std::nullopt;
  }
  const std::wstring folder =
      kro::text::from_utf8(document.child("morrow-info").child("temp-base-dir").child_value());
  if (folder.empty()) {
    r.errors.push_back(L"The hand-off file names no temporary folder.");
    return std::nullopt;
  }
  return folder;
}

// Checks the setup files of product-info.xml; true when all are sound.
bool check_setup_files(const std::wstring& common, run& r) {
  const std::wstring info_path = join(common, L"product-info.xml");
  const auto bytes = read_all(info_path);
  if (!bytes) {
    r.errors.push_back(L"'" + info_path + L"' cannot be read.");
    return false;
  }
  kro::sfx::setup_file_list listed;
  try {
    const auto parser = kro::sfx::product_info_parser::factory().create();
    parser->parse(*bytes);
    listed = parser->get_setup_files();
  } catch (const std::exception& e) {
    r.errors.push_back(L"product-info.xml: " + kro::text::from_utf8(e.what()));
    return false;
  }
  bool all_ok = true;
  for (const kro::sfx::setup_file_record& record : listed) {
    setup_file f{record.name, record.sha256, record.size, std::nullopt, false};
    if (!kro::files::is_safe_relative_name(record.name)) {
      r.errors.push_back(L"The setup file name '" + record.name + L"' is not a safe relative name.");
    } else if (!(f.found = examine(join(common, kro::files::to_backslashes(record.name))))) {
      r.errors.push_back(L"The setup file '" + record.name + L"' is missing.");
    } else {
      kro::root::digest expected;
      try {
        expected = kro::root::digest::from_hex(std::wstring_view(record.sha256));
      } catch (const std::exception&) {
      }
      f.ok = !expected.empty() &&
             expected == kro::root::digest::from_hex(std::wstring_view(f.found->sha256)) &&
             f.found->size == record.size;
      if (!f.ok)
        r.errors.push_back(L"The setup file '" + record.name + L"' does not match its SHA-256 or size.");
    }
    all_ok = all_ok && f.ok;
    r.files.push_back(std::move(f));
  }
  return all_ok;
}

uint32_t chosen_exit_code(kro::sfx::command_line& cl, run& r) {
  if (cl.has(L"exit-code")) {
    if (const auto code = decimal(cl.get(L"exit-code"))) return *code;
    r.errors.push_back(L"The exit-code switch holds no decimal number; it is ignored.");
  }
  if (const auto text = environment(L"MORROW_EXIT_CODE")) {
    if (const auto code = decimal(*text)) return *code;
    r.errors.push_back(L"MORROW_EXIT_CODE holds no decimal number; it is ignored.");
  }
  return 0;
}

uint32_t run_setup(kro::sfx::command_line& cl) {
  run r;
  r.command_line = GetCommandLineW();
  r.arguments = kro::sfx::command_line::tokenize(r.command_line);
  if (!r.arguments.empty()) r.arguments.erase(r.arguments.begin());
  r.switches = cl.switches();

  if (cl.has(L"install-path") && !cl.get(L"install-path").empty())
    r.install_path = full_path(cl.get(L"install-path"));
  if (cl.has(L"morrow-info-path") && !cl.get(L"morrow-info-path").empty())
    r.morrow_info_path = full_path(cl.get(L"morrow-info-path"));
  else
    r.errors.push_back(L"The morrow-info-path switch is missing.");

  if (r.morrow_info_path) r.temp_base_dir = read_handoff(*r.morrow_info_path, r);
  if (!r.temp_base_dir) {
    r.exit_code = exit_bad_handoff;
    if (r.install_path && make_directories(*r.install_path))
      write_whole(join(*r.install_path, L"morrow-report.json"), render(r));
    return r.exit_code;
  }

  const std::wstring temp = without_trailing_separators(full_path(*r.temp_base_dir));
  if (!r.install_path) {
    const std::wstring parent = parent_of(temp);
    r.install_path = join(parent.empty() ? temp : parent, L"morrow-installed");
  }
  const bool sound = check_setup_files(join(temp, L"common"), r);
  list_files(temp, std::wstring(), r.temp_files);

  bool installed = make_directories(*r.install_path);
  if (!installed) r.errors.push_back(L"The install folder cannot be created.");
  if (installed && sound) {
    for (const setup_file& f : r.files) {
      const std::wstring name = kro::files::to_backslashes(f.name);
      if (!copy_into(join(join(temp, L"common"), name), join(*r.install_path, name))) {
        r.errors.push_back(L"The setup file '" + f.name + L"' cannot be installed.");
        installed = false;
      }
    }
  }
  if (installed &&
      !CopyFileW(r.morrow_info_path->c_str(), join(*r.install_path, L"morrow-info.xml").c_str(), FALSE)) {
    r.errors.push_back(L"The hand-off file cannot be copied to the install folder.");
    installed = false;
  }

  if (!sound)
    r.exit_code = exit_bad_setup_files;
  else if (!installed)
    r.exit_code = exit_install_failed;
  else
    r.exit_code = chosen_exit_code(cl, r);
  if (!make_directories(*r.install_path) ||
      !write_whole(join(*r.install_path, L"morrow-report.json"), render(r)))
    return exit_install_failed;
  return r.exit_code;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  uint32_t code = exit_install_failed;
  kro::sfx::command_line cl;
  try {
    cl.parse(GetCommandLineW(), true);
    code = run_setup(cl);
  } catch (const std::exception&) {
  }
  if (cl.has(L"sleep-ms")) {
    if (const auto ms = decimal(cl.get(L"sleep-ms"))) Sleep(*ms);
  }
  return static_cast<int>(code);
}
