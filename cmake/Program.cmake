# txl_program(<target> DESCRIPTION <text> MSI_COMPONENT <GUID> [SHORTCUT])
#
# One executable of the product, made the same way for each:
#   - its version resource from the product's facts, its file name and DESCRIPTION;
# and on Windows:
#   - its application manifest from the same facts (no elevation, per-monitor DPI awareness,
#     common controls 6);
#   - DLLs from the system folder only: the imports that are not KnownDLLs (TXL_DELAY_LOADED_DLLS)
#     are delay-loaded, and the entry point calls SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)
#     before the C runtime starts (src/win/SafeStart_win.c). Debian's binutils 2.40 cannot set the
#     load configuration's DependentLoadFlags (ld fills no load-config directory), and Wine 8 ignores
#     that field; the delay-load helper and the default DLL directories it honours;
#   - marked aware of Remote Desktop Services (--tsaware);
#   - an entry of the release: packed into the zip and installed by the MSI in a component of its
#     own (MSI_COMPONENT: its GUID, kept for good), the Start-menu shortcut pointing at it when
#     SHORTCUT is given (one program only).
# make-release.sh takes the list from release/release.env, written by txl_write_release_files().
include_guard(GLOBAL)
include(VersionResource)

# The imports of TXLoader.exe that are not KnownDLLs ("Dynamic-link library search order"):
# MinGW-w64's import libraries for them are replaced by delay-load ones of the same name.
# Global, as the guard includes this file once, in whichever directory comes first.
set(TXL_DELAY_LOADED_DLLS authz iphlpapi netapi32 userenv uxtheme version winmm wtsapi32 d3d9 d3d11 dxgi dwmapi
    CACHE INTERNAL "")
set(TXL_DELAY_LIB_DIR "${PROJECT_BINARY_DIR}/delayimp" CACHE INTERNAL "")
set(TXL_WIN_SOURCES "${PROJECT_SOURCE_DIR}/src/win" CACHE INTERNAL "")

function(txl_delay_import_libraries)
  find_program(TXL_MINGW_NM NAMES x86_64-w64-mingw32-nm REQUIRED)
  find_program(TXL_DLLTOOL NAMES x86_64-w64-mingw32-dlltool REQUIRED)
  set(libs "")
  foreach(dll IN LISTS TXL_DELAY_LOADED_DLLS)
    find_library(TXL_IMPORT_LIB_${dll} NAMES lib${dll}.a REQUIRED)
    add_custom_command(
      OUTPUT "${TXL_DELAY_LIB_DIR}/lib${dll}.a"
      COMMAND "${CMAKE_COMMAND}" -E make_directory "${TXL_DELAY_LIB_DIR}"
      COMMAND "${TXL_PYTHON3}" "${PROJECT_SOURCE_DIR}/cmake/delay_import_lib.py" "${TXL_MINGW_NM}" "${TXL_DLLTOOL}"
              "${TXL_IMPORT_LIB_${dll}}" "${TXL_DELAY_LIB_DIR}/lib${dll}.a"
      DEPENDS "${PROJECT_SOURCE_DIR}/cmake/delay_import_lib.py" "${TXL_IMPORT_LIB_${dll}}"
      COMMENT "Delay-load import library for ${dll}"
      VERBATIM)
    list(APPEND libs "${TXL_DELAY_LIB_DIR}/lib${dll}.a")
  endforeach()
  add_custom_target(txl_delay_import_libs DEPENDS ${libs})
endfunction()

function(txl_program target)
  cmake_parse_arguments(P "SHORTCUT" "DESCRIPTION;MSI_COMPONENT" "" ${ARGN})
  get_target_property(gui ${target} WIN32_EXECUTABLE)
  set(TXL_EXE_NAME "${target}")
  set(TXL_EXE_DESCRIPTION "${P_DESCRIPTION}")
  txl_attach_version_info(${target} FILE "${target}.exe" DESCRIPTION "${P_DESCRIPTION}")
  # The scripts and the release expect the programs at the top of the build directory.
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${PROJECT_BINARY_DIR}")
  if(NOT WIN32)
    return()
  endif()

  set(dir "${CMAKE_CURRENT_BINARY_DIR}/${target}_win")
  configure_file("${TXL_WIN_SOURCES}/program.manifest.in" "${dir}/${target}.manifest" @ONLY)
  # 1 is the resource id Windows reads at process start, 24 the manifest resource type.
  file(CONFIGURE OUTPUT "${dir}/manifest.rc" CONTENT "1 24 \"${target}.manifest\"\n")
  target_sources(${target} PRIVATE "${dir}/manifest.rc")
  set_property(SOURCE "${dir}/manifest.rc" APPEND PROPERTY OBJECT_DEPENDS "${dir}/${target}.manifest")

  if(NOT TARGET txl_delay_import_libs)
    txl_delay_import_libraries()
  endif()
  add_dependencies(${target} txl_delay_import_libs)
  # First on the search path: -lversion and the like find the delay-load libraries. Relative to
  # the directory the link runs in, as ld orders the import tables by the libraries' paths: an
  # absolute one would put the build directory's name into the executable's bytes.
  file(RELATIVE_PATH delay_dir "${CMAKE_BINARY_DIR}" "${TXL_DELAY_LIB_DIR}")
  target_link_options(${target} BEFORE PRIVATE "-L${delay_dir}")
  # The entry point, with the C runtime's entry that the linker would have chosen after it.
  set(entry mainCRTStartup)
  if(gui)
    set(entry WinMainCRTStartup)
  endif()
  file(CONFIGURE OUTPUT "${dir}/SafeStart.c"
       CONTENT "#define TXL_CRT_ENTRY ${entry}\n#include \"${TXL_WIN_SOURCES}/SafeStart_win.c\"\n")
  target_sources(${target} PRIVATE "${dir}/SafeStart.c")
  target_link_options(${target} PRIVATE -Wl,-e,TxlSafeStart -Wl,--tsaware)
  # What the linker took from where: the release lists the Qt components linked in from it.
  target_link_options(${target} PRIVATE "-Wl,-Map=${PROJECT_BINARY_DIR}/${target}.map")

  set_property(GLOBAL APPEND PROPERTY TXL_RELEASE_PROGRAMS "${target}")
  set_target_properties(${target} PROPERTIES TXL_MSI_COMPONENT "${P_MSI_COMPONENT}")
  if(P_SHORTCUT)
    set_property(GLOBAL PROPERTY TXL_SHORTCUT_PROGRAM "${target}")
  endif()
endfunction()

# txl_write_release_files(): release/ in the build directory, for make-release.sh: the installer's
# source, the README.txt of the zip and the MSI, the relinking kit's README and release.env, filled
# from the product's facts and the programs that txl_program() entered. Called once all programs
# are defined.
function(txl_write_release_files)
  get_property(programs GLOBAL PROPERTY TXL_RELEASE_PROGRAMS)
  get_property(shortcut GLOBAL PROPERTY TXL_SHORTCUT_PROGRAM)
  set(TXL_WXS_PROGRAMS "")
  set(TXL_WXS_PROGRAM_REFS "")
  foreach(program IN LISTS programs)
    get_target_property(guid ${program} TXL_MSI_COMPONENT)
    string(MAKE_C_IDENTIFIER "${program}Exe" id)
    string(APPEND TXL_WXS_PROGRAMS
      "            <Component Id=\"${id}\" Guid=\"${guid}\" Win64=\"yes\">\n"
      "              <File Id=\"${id}\" Name=\"${program}.exe\" Source=\"$(var.Stage)/${program}.exe\" KeyPath=\"yes\"/>\n"
      "            </Component>")
    string(APPEND TXL_WXS_PROGRAM_REFS "      <ComponentRef Id=\"${id}\"/>")
  endforeach()
  set(TXL_SHORTCUT_TARGET "${shortcut}.exe")
  set(QT_VERSION "${Qt6_VERSION}")
  # Left for make-release.sh, which knows them from the executable and the Qt cache.
  foreach(name VERSION MSI_VERSION QT_DEB_VERSION QT_SOURCE_FILES QT_DSC)
    set(${name} "@${name}@")
  endforeach()
  string(REPLACE ";" " " programs "${programs}")
  set(out "${PROJECT_BINARY_DIR}/release")
  set(in "${PROJECT_SOURCE_DIR}/packaging/windows")
  configure_file("${in}/TXLoader.wxs.in" "${out}/TXLoader.wxs" @ONLY)
  configure_file("${in}/README.txt.in" "${out}/README.txt" @ONLY)
  configure_file("${in}/relink-README.txt.in" "${out}/relink-README.txt" @ONLY)
  file(CONFIGURE OUTPUT "${out}/release.env" @ONLY CONTENT
"# Made by CMake (txl_write_release_files): what make-release.sh packs.
TXL_RELEASE_PROGRAMS='@programs@'
TXL_MSI_UPGRADE_CODE='@TXL_MSI_UPGRADE_CODE@'
")
endfunction()
