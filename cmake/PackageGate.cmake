# Runs inside cpack before the package is made: a package is what reaches
# technicians, so it must not carry the placeholder image unless asked for.
if(CPACK_TXL_IS_PLACEHOLDER AND NOT CPACK_TXL_ALLOW_PLACEHOLDER)
  message(FATAL_ERROR
    "This build carries the placeholder image ${CPACK_TXL_FIRMWARE_IMAGE}, not device firmware; "
    "a package of it must not reach a device.\n"
    "Build the package with the real image: scripts/package.sh --firmware /path/to/ZRM-40K_06_V48.xfw "
    "(cmake -DTXL_FIRMWARE_IMAGE=/path/to/ZRM-40K_06_V48.xfw).\n"
    "For a test package only: scripts/package.sh --allow-placeholder (cmake -DTXL_ALLOW_PLACEHOLDER=ON).")
endif()
