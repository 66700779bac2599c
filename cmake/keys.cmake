# The DSA key table compiled into the program, generated from a key ring.
#
# KRO_KEY_RING names the ring file (format: scripts/gen_key_table.py). The
# default is the development ring, whose private halves are committed for
# tests and the demo; a publisher configures its own ring:
#   cmake -DKRO_KEY_RING=/path/to/ring.txt ...
# A release build (KRO_RELEASE, the `release` preset) has no default: it
# refuses to configure without a ring, and refuses any ring that holds a key
# of the development ring (found by content, whatever the file is called).
# Other builds that embed development keys configure with a warning.
#
# Include right after Python is found (the checks run early in the
# configuration); kro_add_key_table() after src/ adds the generated source to
# the kro library.
option(KRO_RELEASE "Release build: a publisher's key ring (KRO_KEY_RING) is required, development keys are refused" OFF)
set(KRO_DEV_KEY_RING "${CMAKE_SOURCE_DIR}/keys/dev-ring.txt")
set(KRO_RELEASE_RING_HELP
  "Pass the publisher's public key ring: cmake --preset release -DKRO_KEY_RING=/path/to/publisher-ring.txt (see README, Release build).")

if(KRO_RELEASE)
  if(NOT KRO_KEY_RING)
    message(FATAL_ERROR "A release build needs the publisher's key ring and has no default. ${KRO_RELEASE_RING_HELP}")
  endif()
else()
  set(KRO_KEY_RING "${KRO_DEV_KEY_RING}" CACHE FILEPATH "Key ring the DSA key table is generated from")
endif()
get_filename_component(KRO_KEY_RING "${KRO_KEY_RING}" ABSOLUTE)
if(NOT EXISTS "${KRO_KEY_RING}" OR IS_DIRECTORY "${KRO_KEY_RING}")
  message(FATAL_ERROR "KRO_KEY_RING: no key ring file at '${KRO_KEY_RING}'. ${KRO_RELEASE_RING_HELP}")
endif()

# The ring checked and identified now, by content: its fingerprint and which
# of its keys belong to the development ring.
execute_process(
  COMMAND ${Python3_EXECUTABLE} "${CMAKE_SOURCE_DIR}/scripts/gen_key_table.py" --inspect "${KRO_KEY_RING}"
          --development-ring "${KRO_DEV_KEY_RING}"
  RESULT_VARIABLE kro_ring_result OUTPUT_VARIABLE kro_ring_output ERROR_VARIABLE kro_ring_error)
if(NOT kro_ring_result EQUAL 0)
  message(FATAL_ERROR "KRO_KEY_RING: '${KRO_KEY_RING}' is no usable key ring:\n${kro_ring_error}")
endif()
string(REGEX MATCH "fingerprint ([0-9a-f]+)" _ "${kro_ring_output}")
set(KRO_KEY_RING_FINGERPRINT "${CMAKE_MATCH_1}")
string(REGEX MATCH "development-keys ([A-H-]+)" _ "${kro_ring_output}")
set(KRO_KEY_RING_DEVELOPMENT_KEYS "${CMAKE_MATCH_1}")
# Reconfigure (and check again) when the ring changes.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${KRO_KEY_RING}")

if(NOT KRO_KEY_RING_DEVELOPMENT_KEYS STREQUAL "-")
  set(kro_dev_text
    "The key ring '${KRO_KEY_RING}' (fingerprint ${KRO_KEY_RING_FINGERPRINT}) holds keys of the development ring (${KRO_KEY_RING_DEVELOPMENT_KEYS}), whose private halves are in this repository (keys/dev-private/): anything they sign proves nothing.")
  if(KRO_RELEASE)
    message(FATAL_ERROR "${kro_dev_text} A release build refuses them. ${KRO_RELEASE_RING_HELP}")
  endif()
  message(WARNING "${kro_dev_text} This build is for tests and the demo only; never ship its sfx.exe. Release builds: cmake --preset release -DKRO_KEY_RING=/path/to/publisher-ring.txt")
else()
  message(STATUS "Key ring ${KRO_KEY_RING}, fingerprint ${KRO_KEY_RING_FINGERPRINT}")
endif()

function(kro_add_key_table)
  set(table "${CMAKE_BINARY_DIR}/generated/key_table.cpp")
  set(refuse)
  if(KRO_RELEASE)
    set(refuse --refuse-development)
  endif()
  add_custom_command(
    OUTPUT "${table}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${CMAKE_BINARY_DIR}/generated"
    COMMAND ${Python3_EXECUTABLE} "${CMAKE_SOURCE_DIR}/scripts/gen_key_table.py" "${KRO_KEY_RING}" "${table}"
            --development-ring "${KRO_DEV_KEY_RING}" ${refuse}
    DEPENDS "${KRO_KEY_RING}" "${KRO_DEV_KEY_RING}" "${CMAKE_SOURCE_DIR}/scripts/gen_key_table.py"
    COMMENT "Generating the DSA key table from ${KRO_KEY_RING}"
    VERBATIM)
  add_custom_target(kro_key_table DEPENDS "${table}")
  add_dependencies(kro kro_key_table)
  target_sources(kro PRIVATE "${table}")
endfunction()
