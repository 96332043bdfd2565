# txl_add_test(NAME <name> { SOURCES <files...> [LIBS <libs...>] | COMMAND <command...> }
#              [LINUX | WINDOWS] [NETNS] [ROWS [ALONE] [LAB <lab line>]] [GUI] [VERSION] [FILES]
#              [SLOTS <n>] [ENV <VAR=value>...] [TIMEOUT <s>] [LABELS <l...>] [PARTS "<functions>"...]
#              [PROPERTIES <test properties...>])
# One test of this project: a QtTest program made of SOURCES (with tests/common on its include
# path), or COMMAND.
#   LINUX, WINDOWS  only in that build.
#   NETNS    runs it in a network namespace of its own, loopback up (tests/common/in-netns.sh);
#            the namespace goes with the test's last process.
#   ROWS     runs it through tests/common/rows.sh: the lab makes what the rows ask for before they
#            run, each such row (or with ALONE every row) in a namespace of its own after LAB.
#   GUI      real widgets: Qt's offscreen platform; under Wine its windows platform on Xvfb.
#   VERSION  the program carries the tool's version resource, as TXLoader does.
#   FILES    the program reads the files tests/version/test_files.py makes at build time.
#   SLOTS    the test holds n of CTest's slots (PROCESSORS), and rows.sh runs up to n rows at once
#            in them (TXL_ROWS_JOBS); under Wine one.
#   PARTS    one test per part, <name>.1, <name>.2, ..., each with the functions listed, which run
#            side by side.
# A program of SOURCES also gets the test <name>.listing (tests/common/listing.sh): each of its
# functions in exactly one part, and listing them and its rows leaves nothing behind. On Linux
# its sources use the precompiled header of txl_test_pch (below).
# A Windows build made on Linux runs its tests under Wine: through tests/wine/wine-run.sh, built
# with TXL_WINE, which tests/common/Limits.h turns into what Wine cannot show, and with the
# simulator of the Linux build (TXL_HOST_TFTPSIM).
set(TXL_HOST_TFTPSIM "" CACHE FILEPATH "The simulator of a Linux build, for the Windows tests under Wine")
if(WIN32 AND CMAKE_CROSSCOMPILING)
  set(TXL_WINE_RUNNER "${PROJECT_SOURCE_DIR}/tests/wine/wine-run.sh")
endif()

# QtCore's module header (which <QtTest> includes whole), parsed once for all the test programs
# rather than once for each: the one precompiled header they reuse. GCC uses it only with the
# macros it was made with, so txl_test_pch does not link Qt6::Test, whose QT_TESTCASE_BUILDDIR
# differs from folder to folder; -Werror=invalid-pch fails a program whose flags part from it
# rather than let it silently cost the time again. Sources made at build time (moc's, the
# version block) are next to empty: loading the header would cost them more than it saves. Not
# for the Windows build, made once for a release.
if(NOT WIN32 AND TXL_BUILD_TESTS)
  file(CONFIGURE OUTPUT "${PROJECT_BINARY_DIR}/tests/txl_test_pch.cpp"
       CONTENT "// The test programs' precompiled header is made beside this empty file.\n")
  add_library(txl_test_pch OBJECT "${PROJECT_BINARY_DIR}/tests/txl_test_pch.cpp")
  set_target_properties(txl_test_pch PROPERTIES AUTOMOC OFF AUTOUIC OFF)
  target_link_libraries(txl_test_pch PRIVATE Qt6::Core)
  target_precompile_headers(txl_test_pch PRIVATE <QtCore>)
endif()
# txl_test_pch(<target>): <target>, defined in this folder, uses the precompiled header.
function(txl_test_pch target)
  if(NOT TARGET txl_test_pch)
    return()
  endif()
  target_precompile_headers(${target} REUSE_FROM txl_test_pch)
  target_compile_options(${target} PRIVATE $<$<CXX_COMPILER_ID:GNU>:-Werror=invalid-pch>)
  get_target_property(sources ${target} SOURCES)
  list(FILTER sources INCLUDE REGEX "^${PROJECT_BINARY_DIR}/")
  set_source_files_properties(${sources} "${CMAKE_CURRENT_BINARY_DIR}/${target}_autogen/mocs_compilation.cpp"
                              PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
endfunction()

function(txl_add_test)
  cmake_parse_arguments(T "LINUX;WINDOWS;NETNS;ROWS;ALONE;GUI;VERSION;FILES" "NAME;TIMEOUT;LAB;SLOTS"
                        "SOURCES;LIBS;COMMAND;ENV;LABELS;PARTS;PROPERTIES" ${ARGN})
  if((T_LINUX AND WIN32) OR (T_WINDOWS AND NOT WIN32))
    return()
  endif()
  set(common "${PROJECT_SOURCE_DIR}/tests/common")
  set(env "TXL_SOURCE_DIR=${PROJECT_SOURCE_DIR}" ${T_ENV})
  if(TARGET tftpsim)
    list(APPEND env "TXL_SIM=$<TARGET_FILE:tftpsim>")
  elseif(TXL_WINE_RUNNER)
    list(APPEND env "TXL_SIM=${TXL_HOST_TFTPSIM}")
  endif()
  if(TARGET txloader-bind69)
    list(APPEND env "TXL_BIND_HELPER=$<TARGET_FILE:txloader-bind69>")
  endif()
  if(T_SOURCES)
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE Qt6::Test ${T_LIBS})
    target_include_directories(${T_NAME} PRIVATE "${common}")
    if(TARGET tftpsim)
      add_dependencies(${T_NAME} tftpsim)
    endif()
    if(TXL_WINE_RUNNER)
      target_compile_definitions(${T_NAME} PRIVATE TXL_WINE=1)
    endif()
    if(T_VERSION)
      txl_attach_version_info(${T_NAME})
      target_compile_definitions(${T_NAME} PRIVATE TXL_VERSION_TABLE="${TXL_VERSION_TABLE}"
                                 TXL_VERSION_BLOCK="$<TARGET_PROPERTY:${T_NAME},TXL_VERSION_BLOCK>")
    endif()
    if(T_FILES)
      target_compile_definitions(${T_NAME} PRIVATE TXL_TEST_FILES="${TXL_TEST_FILES}")
      add_dependencies(${T_NAME} txl_test_files)
      if(NOT WIN32) # the program without its version section, beside it
        add_custom_command(TARGET ${T_NAME} POST_BUILD COMMAND objcopy --remove-section .txl_version
                           $<TARGET_FILE:${T_NAME}> $<TARGET_FILE:${T_NAME}>.noversion)
      endif()
    endif()
    txl_test_pch(${T_NAME})
    set(T_COMMAND ${TXL_WINE_RUNNER} $<TARGET_FILE:${T_NAME}>)
  endif()
  if(T_ROWS)
    set(T_COMMAND bash "${common}/rows.sh" $<TARGET_FILE:${T_NAME}>)
    string(REPLACE ";" "\\;" T_LAB "${T_LAB}")
    list(APPEND env "TXL_RUN=${TXL_WINE_RUNNER}" "TXL_LAB=${T_LAB}")
    if(T_ALONE)
      list(APPEND env "TXL_ROWS_ALONE=1")
    endif()
  elseif(T_NETNS)
    set(T_COMMAND "${common}/in-netns.sh" ${T_COMMAND})
  endif()
  if(T_SLOTS AND NOT TXL_WINE_RUNNER)
    list(APPEND env "TXL_ROWS_JOBS=${T_SLOTS}")
    list(APPEND T_PROPERTIES PROCESSORS ${T_SLOTS})
  endif()
  if(T_GUI AND TXL_WINE_RUNNER)
    list(APPEND env "QT_QPA_PLATFORM=windows") # static Qt carries the windows platform only
  elseif(T_GUI)
    list(APPEND env "QT_QPA_PLATFORM=offscreen")
  endif()
  set(tests ${T_NAME})
  if(T_PARTS)
    set(tests "")
    foreach(functions IN LISTS T_PARTS)
      list(LENGTH tests part)
      math(EXPR part "${part} + 1")
      separate_arguments(functions UNIX_COMMAND "${functions}")
      add_test(NAME ${T_NAME}.${part} COMMAND ${T_COMMAND} ${functions})
      list(APPEND tests ${T_NAME}.${part})
    endforeach()
  else()
    add_test(NAME ${T_NAME} COMMAND ${T_COMMAND})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${tests} PROPERTIES ENVIRONMENT "${env}" TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}"
                       ${T_PROPERTIES})
  if(T_SOURCES)
    if(NOT T_ROWS)
      list(APPEND env "TXL_RUN=${TXL_WINE_RUNNER}")
    endif()
    add_test(NAME ${T_NAME}.listing COMMAND bash "${common}/listing.sh" $<TARGET_FILE:${T_NAME}> ${T_PARTS})
    set_tests_properties(${T_NAME}.listing PROPERTIES ENVIRONMENT "${env}" TIMEOUT 60 LABELS "${T_LABELS};listing")
  endif()
endfunction()
