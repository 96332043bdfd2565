# txl_firmware_is_placeholder(<image> <python> <scratch file> <out-var>)
#
# Sets <out-var> to TRUE when <image> holds exactly the bytes that
# firmware/make_placeholder.py writes, whatever the file is called; a real
# image put in the placeholder's place is told apart by its content.
# Usable at configure time and from cmake -P scripts.
function(txl_firmware_is_placeholder image python scratch out)
  get_filename_component(here "${CMAKE_CURRENT_FUNCTION_LIST_DIR}" ABSOLUTE)
  get_filename_component(scratch_dir "${scratch}" DIRECTORY)
  file(MAKE_DIRECTORY "${scratch_dir}")
  execute_process(
    COMMAND "${python}" "${here}/../firmware/make_placeholder.py" "${scratch}"
    RESULT_VARIABLE rc OUTPUT_QUIET)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "firmware/make_placeholder.py failed (${rc}); cannot tell the placeholder from a real image")
  endif()
  file(SHA256 "${scratch}" placeholder_hash)
  file(SHA256 "${image}" image_hash)
  file(REMOVE "${scratch}")
  if(image_hash STREQUAL placeholder_hash)
    set(${out} TRUE PARENT_SCOPE)
  else()
    set(${out} FALSE PARENT_SCOPE)
  endif()
endfunction()
