# cmake -DIN=<image> -DOUT=<generated .cpp> -DPLACEHOLDER=<bool> [-DEXPECT=<bytes>] -P EmbedFirmware.cmake
# Turns the firmware file into the read-only FirmwareImage array, and records
# whether it is the repository's placeholder so the windows can say so.
file(SIZE "${IN}" size)
if(DEFINED EXPECT AND NOT size EQUAL EXPECT)
  message(FATAL_ERROR "Firmware image ${IN} is ${size} bytes; the built-in image must be ${EXPECT} bytes. "
                      "Regenerate it with firmware/make_placeholder.py or set TXL_FIRMWARE_IMAGE to a real image.")
endif()
if(size EQUAL 0)
  message(FATAL_ERROR "Firmware image ${IN} is empty")
endif()
if(PLACEHOLDER)
  set(placeholder_value true)
else()
  set(placeholder_value false)
endif()
file(SHA256 "${IN}" sha256)
file(READ "${IN}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUT}.tmp"
  "// Generated from ${IN}; do not edit.\n"
  "#include \"LoadData.h\"\n\n"
  "const std::uint8_t FirmwareImage[${size}] = {\n${bytes}};\n"
  "const std::size_t FirmwareSize = sizeof(FirmwareImage);\n"
  "const bool FirmwareIsPlaceholder = ${placeholder_value};\n"
  "const char FirmwareSha256[] = \"${sha256}\";\n")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
