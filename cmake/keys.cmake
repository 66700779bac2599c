# The DSA key table compiled into the program, generated from a key ring.
#
# KRO_KEY_RING names the ring file (format: scripts/gen_key_table.py). The
# default is the development ring, whose private halves are committed for
# tests and the demo; a publisher configures its own ring:
#   cmake -DKRO_KEY_RING=/path/to/ring.txt ...
#
# Include after src/ (the generated source goes into the kro library).
set(KRO_KEY_RING "${CMAKE_SOURCE_DIR}/keys/dev-ring.txt" CACHE FILEPATH "Key ring the DSA key table is generated from")

set(KRO_KEY_TABLE_CPP "${CMAKE_BINARY_DIR}/generated/key_table.cpp")
add_custom_command(
  OUTPUT "${KRO_KEY_TABLE_CPP}"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${CMAKE_BINARY_DIR}/generated"
  COMMAND ${Python3_EXECUTABLE} "${CMAKE_SOURCE_DIR}/scripts/gen_key_table.py" "${KRO_KEY_RING}" "${KRO_KEY_TABLE_CPP}"
  DEPENDS "${KRO_KEY_RING}" "${CMAKE_SOURCE_DIR}/scripts/gen_key_table.py"
  COMMENT "Generating the DSA key table from ${KRO_KEY_RING}"
  VERBATIM)
add_custom_target(kro_key_table DEPENDS "${KRO_KEY_TABLE_CPP}")
add_dependencies(kro kro_key_table)
target_sources(kro PRIVATE "${KRO_KEY_TABLE_CPP}")
