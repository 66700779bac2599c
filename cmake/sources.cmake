# The source list of the kro library (src/CMakeLists.txt), shared with the
# fuzz build (fuzz/CMakeLists.txt) so that both compile the same files.
#
# kro_library_sources(OUT SRC_DIR WIN32): every .cpp under SRC_DIR except the
# executables' entry folders (src/main, src/tool); files ending in _win32.cpp
# only when WIN32 is true, files ending in _posix.cpp only when it is false.
function(kro_library_sources out src_dir win32)
  get_filename_component(src_dir "${src_dir}" ABSOLUTE)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS "${src_dir}/*.cpp")
  list(FILTER sources EXCLUDE REGEX "^${src_dir}/(main|tool)/")
  kro_platform_sources(sources ${win32})
  set(${out} ${sources} PARENT_SCOPE)
endfunction()

# kro_platform_sources(LIST WIN32): keeps in LIST the files of one platform:
# _win32.cpp files only when WIN32 is true, _posix.cpp files only when false.
function(kro_platform_sources list win32)
  set(sources ${${list}})
  if(win32)
    list(FILTER sources EXCLUDE REGEX "_posix\\.cpp$")
  else()
    list(FILTER sources EXCLUDE REGEX "_win32\\.cpp$")
  endif()
  set(${list} ${sources} PARENT_SCOPE)
endfunction()
