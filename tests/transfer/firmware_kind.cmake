# cmake -DSRC=<source dir> -DPYTHON=<python3> -DWORK=<scratch dir> -DSIZE=<image length> -P firmware_kind.cmake
# The build marks the placeholder image by its content: the placeholder, also
# under another name, embeds as a placeholder; an image differing in one byte
# embeds as firmware.
include("${SRC}/cmake/FirmwareKind.cmake")
file(MAKE_DIRECTORY "${WORK}")
execute_process(COMMAND "${PYTHON}" "${SRC}/firmware/make_placeholder.py" "${WORK}/copy.xfw" "${SIZE}"
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "make_placeholder.py failed: ${rc}")
endif()
execute_process(COMMAND "${PYTHON}" -c
  "import sys; d = bytearray(open(sys.argv[1], 'rb').read()); d[100] ^= 1; open(sys.argv[2], 'wb').write(d)"
  "${WORK}/copy.xfw" "${WORK}/real.xfw" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot write the changed image: ${rc}")
endif()

foreach(case "ZRM-40K_06_V48.xfw|${SRC}/firmware/ZRM-40K_06_V48.xfw|true"
             "copy|${WORK}/copy.xfw|true" "real|${WORK}/real.xfw|false")
  string(REPLACE "|" ";" case "${case}")
  list(GET case 0 name)
  list(GET case 1 image)
  list(GET case 2 expected)
  txl_firmware_is_placeholder("${image}" "${PYTHON}" "${WORK}/placeholder.xfw" "${SIZE}" placeholder)
  execute_process(COMMAND "${CMAKE_COMMAND}" "-DIN=${image}" "-DOUT=${WORK}/out.cpp" "-DPLACEHOLDER=${placeholder}"
                          "-DEXPECT=${SIZE}" -P "${SRC}/cmake/EmbedFirmware.cmake" RESULT_VARIABLE rc)
  file(READ "${WORK}/out.cpp" generated)
  file(REMOVE "${WORK}/out.cpp")
  if(NOT rc EQUAL 0 OR NOT generated MATCHES "const bool FirmwareIsPlaceholder = ${expected};")
    message(FATAL_ERROR "${name}: expected FirmwareIsPlaceholder = ${expected} (exit ${rc})")
  endif()
  message(STATUS "${name}: FirmwareIsPlaceholder = ${expected}")
endforeach()
file(REMOVE_RECURSE "${WORK}")
