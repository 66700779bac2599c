# Third-party libraries. The native build takes Debian's packages; the MinGW
# build compiles the Debian sources that scripts/setup puts into third_party/.
if(NOT KRO_WIN32)
  find_package(pugixml REQUIRED)
  add_library(kro_pugixml INTERFACE)
  target_link_libraries(kro_pugixml INTERFACE pugixml::pugixml)
  find_package(GTest REQUIRED)
  add_library(kro_gtest INTERFACE)
  target_link_libraries(kro_gtest INTERFACE GTest::gtest GTest::gmock)
  add_library(kro_gtest_main INTERFACE)
  target_link_libraries(kro_gtest_main INTERFACE GTest::gtest_main GTest::gmock)
else()
  file(GLOB KRO_PUGIXML_DIR LIST_DIRECTORIES true "${CMAKE_SOURCE_DIR}/third_party/pugixml-*/src")
  if(NOT KRO_PUGIXML_DIR)
    message(FATAL_ERROR "pugixml sources missing in third_party/: run scripts/setup")
  endif()
  list(GET KRO_PUGIXML_DIR 0 KRO_PUGIXML_DIR)
  add_library(kro_pugixml STATIC ${KRO_PUGIXML_DIR}/pugixml.cpp)
  target_include_directories(kro_pugixml SYSTEM PUBLIC ${KRO_PUGIXML_DIR})
  # Without the stream interfaces pugixml pulls in no iostreams, which would
  # bring the whole locale machinery of the C++ library into sfx.exe.
  target_compile_definitions(kro_pugixml PUBLIC PUGIXML_NO_STL)
  target_compile_options(kro_pugixml PRIVATE -msse2 -mfpmath=sse -ffunction-sections -fdata-sections -w)

  set(KRO_GTEST_ROOT /usr/src/googletest CACHE PATH "GoogleTest sources (Debian package googletest)")
  add_library(kro_gtest STATIC
    ${KRO_GTEST_ROOT}/googletest/src/gtest-all.cc
    ${KRO_GTEST_ROOT}/googlemock/src/gmock-all.cc)
  target_include_directories(kro_gtest SYSTEM PUBLIC
    ${KRO_GTEST_ROOT}/googletest/include ${KRO_GTEST_ROOT}/googlemock/include)
  target_include_directories(kro_gtest PRIVATE
    ${KRO_GTEST_ROOT}/googletest ${KRO_GTEST_ROOT}/googlemock)
  target_compile_options(kro_gtest PRIVATE -msse2 -mfpmath=sse -w)
  add_library(kro_gtest_main STATIC ${KRO_GTEST_ROOT}/googlemock/src/gmock_main.cc)
  target_link_libraries(kro_gtest_main PUBLIC kro_gtest)
  target_compile_options(kro_gtest_main PRIVATE -w)
endif()
