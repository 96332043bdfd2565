# txl_attach_version_info(<target> [FILE <executable file name>] [DESCRIPTION <text>])
#
# Gives <target> the version resource of one of the product's executables: the table
# src/version/resource/program.version.in, filled from the product's facts
# (ProductFacts.cmake) and FILE and DESCRIPTION, is turned by make_version_resource.py into
#   - TXLoader.rc, compiled into the Windows executable by the resource compiler;
#   - the same VS_VERSIONINFO block as bytes in the ELF section .txl_version, where
#     TVersionInfo finds it on systems without the Windows version calls.
# Without FILE and DESCRIPTION it is the tool's own (TXLoader.exe, the product name), which the
# test programs carry as well; TXL_VERSION_TABLE names that table.
# The generated files land in <binary dir>/<target>_version/; the target properties
# TXL_VERSION_TABLE, TXL_VERSION_RC and TXL_VERSION_BLOCK name the table, the script and the
# raw block.
# Per directory: the paths below are ordinary variables, so every directory that
# calls txl_attach_version_info() needs them set in its own scope.
include_guard(DIRECTORY)

# Debian's interpreter first; the generator needs only the standard library.
find_program(TXL_PYTHON3 NAMES python3 HINTS /usr/bin REQUIRED)

set(TXL_VERSION_TEMPLATE "${CMAKE_CURRENT_LIST_DIR}/../src/version/resource/program.version.in")
set(TXL_VERSION_GENERATOR "${CMAKE_CURRENT_LIST_DIR}/../src/version/resource/make_version_resource.py")
cmake_path(NORMAL_PATH TXL_VERSION_TEMPLATE)
cmake_path(NORMAL_PATH TXL_VERSION_GENERATOR)
# Must match VersionSectionName in src/version/ExeVersionBlock.h.
set(TXL_VERSION_SECTION ".txl_version")

# txl_version_table(<out var> <file name> <description>): the filled table of that executable.
function(txl_version_table out file description)
  set(TXL_EXE_FILE "${file}")
  set(TXL_EXE_DESCRIPTION "${description}")
  set(table "${PROJECT_BINARY_DIR}/facts/${file}.version")
  configure_file("${TXL_VERSION_TEMPLATE}" "${table}" @ONLY)
  set(${out} "${table}" PARENT_SCOPE)
endfunction()
txl_version_table(TXL_VERSION_TABLE TXLoader.exe "${TXL_PRODUCT_NAME}")

function(txl_attach_version_info target)
  cmake_parse_arguments(V "" "FILE;DESCRIPTION" "" ${ARGN})
  set(table "${TXL_VERSION_TABLE}")
  if(V_FILE)
    txl_version_table(table "${V_FILE}" "${V_DESCRIPTION}")
  endif()
  set(dir "${CMAKE_CURRENT_BINARY_DIR}/${target}_version")
  set(rc "${dir}/TXLoader.rc")
  set(block "${dir}/TXLoader.verblock")
  set(cpp "${dir}/VersionBlockSection.cpp")
  add_custom_command(
    OUTPUT "${rc}" "${block}" "${cpp}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${dir}"
    COMMAND "${TXL_PYTHON3}" "${TXL_VERSION_GENERATOR}" --table "${table}"
            --rc "${rc}" --block "${block}" --cpp "${cpp}" --section "${TXL_VERSION_SECTION}"
    DEPENDS "${table}" "${TXL_VERSION_GENERATOR}"
    COMMENT "Generating the version resource of ${target}"
    VERBATIM)
  if(WIN32)
    target_sources(${target} PRIVATE "${rc}")
  else()
    target_sources(${target} PRIVATE "${cpp}")
  endif()
  set_target_properties(${target} PROPERTIES TXL_VERSION_TABLE "${table}" TXL_VERSION_RC "${rc}"
                                             TXL_VERSION_BLOCK "${block}")
endfunction()
