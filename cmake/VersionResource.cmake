# txl_attach_version_info(<target>)
#
# Gives <target> the program's version resource. Everything comes from one table,
# src/version/resource/TXLoader.version, turned by make_version_resource.py into
#   - TXLoader.rc, compiled into the Windows executable by the resource compiler;
#   - the same VS_VERSIONINFO block as bytes in the ELF section .txl_version, where
#     TVersionInfo finds it on systems without the Windows version calls.
# The generated files land in <binary dir>/<target>_version/; the target properties
# TXL_VERSION_RC and TXL_VERSION_BLOCK name the script and the raw block.
# Per directory: the paths below are ordinary variables, so every directory that
# calls txl_attach_version_info() needs them set in its own scope.
include_guard(DIRECTORY)

# Debian's interpreter first; the generator needs only the standard library.
find_program(TXL_PYTHON3 NAMES python3 HINTS /usr/bin REQUIRED)

set(TXL_VERSION_TABLE "${CMAKE_CURRENT_LIST_DIR}/../src/version/resource/TXLoader.version")
set(TXL_VERSION_GENERATOR "${CMAKE_CURRENT_LIST_DIR}/../src/version/resource/make_version_resource.py")
cmake_path(NORMAL_PATH TXL_VERSION_TABLE)
cmake_path(NORMAL_PATH TXL_VERSION_GENERATOR)
# Must match VersionSectionName in src/version/ExeVersionBlock.h.
set(TXL_VERSION_SECTION ".txl_version")

function(txl_attach_version_info target)
  set(dir "${CMAKE_CURRENT_BINARY_DIR}/${target}_version")
  set(rc "${dir}/TXLoader.rc")
  set(block "${dir}/TXLoader.verblock")
  set(cpp "${dir}/VersionBlockSection.cpp")
  add_custom_command(
    OUTPUT "${rc}" "${block}" "${cpp}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${dir}"
    COMMAND "${TXL_PYTHON3}" "${TXL_VERSION_GENERATOR}" --table "${TXL_VERSION_TABLE}"
            --rc "${rc}" --block "${block}" --cpp "${cpp}" --section "${TXL_VERSION_SECTION}"
    DEPENDS "${TXL_VERSION_TABLE}" "${TXL_VERSION_GENERATOR}"
    COMMENT "Generating the version resource of ${target}"
    VERBATIM)
  if(WIN32)
    target_sources(${target} PRIVATE "${rc}")
  else()
    target_sources(${target} PRIVATE "${cpp}")
  endif()
  set_target_properties(${target} PROPERTIES TXL_VERSION_RC "${rc}" TXL_VERSION_BLOCK "${block}")
endfunction()
