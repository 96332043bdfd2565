# The Debian package: /usr/bin/txloader and txloader-cli, their port-69 helper,
# desktop entry, icons, AppStream metainfo, manual pages, bash completion,
# changelog and copyright; postinst gives the helper, not the programs,
# cap_net_bind_service, and lets only root and the group txloader run it
# (postrm removes the group on purge). Built with: cpack
# (in the build directory).
include(GNUInstallDirs)

set(txl_pkg_src "${PROJECT_SOURCE_DIR}/packaging/linux")
set(txl_pkg_out "${PROJECT_BINARY_DIR}/packaging")
set(txl_app_id com.tervix.txloader)

# The product's facts (ProductFacts.cmake) go into the package's texts. The changelog keeps its
# history; its newest entry must be of this version.
foreach(name ${txl_app_id}.desktop ${txl_app_id}.metainfo.xml txloader.1 txloader-cli.1 copyright changelog)
  configure_file("${txl_pkg_src}/${name}.in" "${txl_pkg_out}/${name}" @ONLY)
endforeach()
file(STRINGS "${txl_pkg_src}/changelog.in" txl_changelog_top LIMIT_COUNT 1)
if(NOT txl_changelog_top MATCHES "^txloader \\(${TXL_VERSION}\\) ")
  message(FATAL_ERROR "packaging/linux/changelog.in: the newest entry is not of version ${TXL_VERSION}")
endif()

# Debian wants manual pages and changelogs compressed, without time stamps.
set(txl_gz_files)
foreach(name txloader.1 txloader-cli.1 changelog)
  add_custom_command(
    OUTPUT "${txl_pkg_out}/${name}.gz"
    COMMAND gzip -9nkf "${txl_pkg_out}/${name}"
    DEPENDS "${txl_pkg_out}/${name}"
    VERBATIM)
  list(APPEND txl_gz_files "${txl_pkg_out}/${name}.gz")
endforeach()
add_custom_target(txl_package_files ALL DEPENDS ${txl_gz_files})

install(PROGRAMS "$<TARGET_FILE:TXLoader>" DESTINATION "${CMAKE_INSTALL_BINDIR}" RENAME txloader)
install(PROGRAMS "$<TARGET_FILE:txloader-cli>" DESTINATION "${CMAKE_INSTALL_BINDIR}")
# Where the client looks for it from /usr/bin (src/transfer).
get_target_property(txl_helper_dir txloader-bind69 TXL_INSTALL_DIR)
install(PROGRAMS "$<TARGET_FILE:txloader-bind69>" DESTINATION "${txl_helper_dir}")
# Debug information stays in the build; the version section is not debug
# information and survives, so the About box still reads it.
find_program(TXL_STRIP NAMES strip REQUIRED)
foreach(installed "${CMAKE_INSTALL_BINDIR}/txloader" "${CMAKE_INSTALL_BINDIR}/txloader-cli"
                  "${txl_helper_dir}/$<TARGET_FILE_NAME:txloader-bind69>")
  install(CODE "execute_process(COMMAND \"${TXL_STRIP}\" --strip-unneeded --remove-section=.comment
                                        --remove-section=.note
                                        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${installed}\"
                                COMMAND_ERROR_IS_FATAL ANY)")
endforeach()
install(FILES "${txl_pkg_out}/${txl_app_id}.desktop" DESTINATION "${CMAKE_INSTALL_DATADIR}/applications")
install(FILES "${txl_pkg_out}/${txl_app_id}.metainfo.xml" DESTINATION "${CMAKE_INSTALL_DATADIR}/metainfo")
foreach(size 16 32 48 128 256)
  install(FILES "${PROJECT_SOURCE_DIR}/src/ui/icon/TXLoader-${size}.png"
          DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps" RENAME txloader.png)
endforeach()
install(FILES "${txl_pkg_out}/txloader.1.gz" "${txl_pkg_out}/txloader-cli.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES "${txl_pkg_src}/txloader-cli.bash-completion" DESTINATION "${CMAKE_INSTALL_DATADIR}/bash-completion/completions"
        RENAME txloader-cli)
install(FILES "${txl_pkg_out}/changelog.gz" "${txl_pkg_out}/copyright"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/txloader")


set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME txloader)
set(CPACK_PACKAGE_VERSION "${TXL_VERSION}")
set(CPACK_PACKAGE_VENDOR "${TXL_PUBLISHER}")
set(CPACK_PACKAGE_CONTACT "${TXL_PUBLISHER} <${TXL_CONTACT}>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "load the built-in firmware into a Tervix network device")
set(CPACK_PACKAGE_DESCRIPTION "\
${TXL_PRODUCT_NAME} sends the firmware image compiled into it to a Tervix
network device in its loading mode, over a reduced, write-only TFTP on UDP
port 69: pick the interface facing the device, type its address and press
the load button. txloader-cli does the same from scripts and test stations,
for one device or for several at once, with exit statuses and JSON lines.

They run without privileges: a small helper, given the capability to bind
port 69 when the package is installed, binds the port for them. Only root and
the members of the group txloader may run the helper, and so load firmware.
When an upload times out, the status tells why.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# setcap; addgroup and delgroup for the helper's group.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcap2-bin, adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${txl_pkg_src}/postinst;${txl_pkg_src}/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Read by PackageGate.cmake when cpack runs.
set(CPACK_TXL_FIRMWARE_IMAGE "${TXL_FIRMWARE_IMAGE}")
set(CPACK_TXL_IS_PLACEHOLDER "${TXL_FIRMWARE_IS_PLACEHOLDER}")
set(CPACK_TXL_ALLOW_PLACEHOLDER "${TXL_ALLOW_PLACEHOLDER}")
set(CPACK_PRE_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/PackageGate.cmake")
include(CPack)
