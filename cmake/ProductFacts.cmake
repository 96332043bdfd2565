# The product's facts, kept here and nowhere else. configure_file() fills every copy from them:
# the version resource of each executable, the Windows manifest and installer, the README
# shipped with the Windows release, the Debian package's metadata, metainfo, desktop entry and
# manual page, and ProductFacts.h for the C++ code. The scripts read them from the build
# directory's product.env. Included before project(), which takes the version from here.

set(TXL_PRODUCT_NAME "Tervix BootLoader")
# The maker, as the version resource has carried it since the first release.
set(TXL_PUBLISHER "Tervix Systems")
set(TXL_CONTACT "support@tervix.example")
set(TXL_VERSION 1.0.0.3)
# Announced in the write request; the device takes the image under this name.
set(TXL_FIRMWARE_FILE_NAME "ZRM-40K_06_V48.xfw")
# Appended to the caption and the About box of a build that carries the placeholder image.
set(TXL_TEST_IMAGE_MARK " (тестовый образ)")

# The Windows installer's UpgradeCode: one for every release of the product, never changed.
set(TXL_MSI_UPGRADE_CODE 8F192B7F-14EC-4C39-9E5F-3A24C26D2153)

# Fixed texts of the version resource's string table, unchanged since the first release: the
# product version text stays 1.0.0.0 whatever the file version says.
set(TXL_PRODUCT_VERSION_TEXT 1.0.0.0)
set(TXL_TRADEMARK Tervix)
set(TXL_COMMENTS "BootLoader for Tervix Devices")

# txl_write_product_facts(<header> <env file>): the facts as a C++ header and as shell
# variables.
function(txl_write_product_facts header env)
  configure_file("${CMAKE_CURRENT_FUNCTION_LIST_DIR}/ProductFacts.h.in" "${header}" @ONLY)
  configure_file("${CMAKE_CURRENT_FUNCTION_LIST_DIR}/product.env.in" "${env}" @ONLY)
endfunction()
