# liblzma, the LZMA1 codec behind src/packers, as the target kro_lzma.
#
# Native build: Debian's liblzma-dev. MinGW build: the Debian source of
# xz-utils that scripts/setup unpacks into third_party/, compiled as a static
# library through its own CMakeLists. Only the liblzma target is built from it
# (EXCLUDE_FROM_ALL keeps its programs out of the build), its tests are not
# registered, and our warning flags do not apply to it.
add_library(kro_lzma INTERFACE)

if(NOT KRO_WIN32)
  # 5.4 or later: the packer's encoder uses the LZMA1EXT filter (known size,
  # no end marker).
  find_package(LibLZMA 5.4 REQUIRED)
  target_link_libraries(kro_lzma INTERFACE LibLZMA::LibLZMA)
  return()
endif()

file(GLOB KRO_XZ_DIR LIST_DIRECTORIES true "${CMAKE_SOURCE_DIR}/third_party/xz-utils-*")
list(FILTER KRO_XZ_DIR INCLUDE REGEX "/xz-utils-[0-9.]+$")
if(NOT KRO_XZ_DIR)
  message(FATAL_ERROR "xz-utils sources missing in third_party/: run scripts/setup")
endif()
list(GET KRO_XZ_DIR 0 KRO_XZ_DIR)

# The subproject reads these as plain variables (policy CMP0077): a static
# library, and no test programs of its own in our ctest list. The cache value
# of BUILD_TESTING becomes visible again right after.
set(BUILD_SHARED_LIBS OFF)
set(BUILD_TESTING OFF)
add_subdirectory(${KRO_XZ_DIR} ${CMAKE_BINARY_DIR}/third_party/xz EXCLUDE_FROM_ALL SYSTEM)
unset(BUILD_TESTING)
unset(BUILD_SHARED_LIBS)

# Same code generation as our own i686 code (SSE2, sections for --gc-sections);
# third-party warnings are silenced, never errors.
target_compile_options(liblzma PRIVATE -msse2 -mfpmath=sse -ffunction-sections -fdata-sections -w)
# liblzma exports LZMA_API_STATIC itself for static Windows builds; stated here
# as well because without it every API call links against a DLL import.
target_compile_definitions(liblzma PUBLIC LZMA_API_STATIC)
target_link_libraries(kro_lzma INTERFACE liblzma)
# The subproject keeps its API headers private; system includes, so that our
# warnings stay off them.
target_include_directories(kro_lzma SYSTEM INTERFACE ${KRO_XZ_DIR}/src/liblzma/api)
