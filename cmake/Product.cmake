# Who and what Tarovue is, in one place. The version is the one given to project(); every
# program, the desktop entry, the metainfo, the man pages and the package take it from here.
include(GNUInstallDirs)

set(TAROVUE_PRODUCT_NAME "Tarovue")
set(TAROVUE_DESCRIPTION "Velmorant Tarovue")
set(TAROVUE_ORGANIZATION "Velmorant")
# Desktop file, metainfo and icon share this id, so that desktops tie the three together.
set(TAROVUE_APP_ID "com.velmorant.Tarovue")
set(TAROVUE_VERSION "${PROJECT_VERSION}")
# Date of this version, for the metainfo's release entry and the man pages.
set(TAROVUE_RELEASE_DATE "2026-12-07")

# The file-version display form: major, minor and patch, two digits each ("01.00.00").
set(parts)
foreach(part MAJOR MINOR PATCH)
  set(number "${PROJECT_VERSION_${part}}")
  if(number STREQUAL "")
    set(number 0)
  endif()
  if(number LESS 10)
    set(number "0${number}")
  endif()
  list(APPEND parts ${number})
endforeach()
list(JOIN parts "." TAROVUE_FILE_VERSION)
unset(parts)

# version.h carries the same texts into C++: link tarovue_version and include "version.h".
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in ${CMAKE_BINARY_DIR}/generated/version.h
               @ONLY)
add_library(tarovue_version INTERFACE)
target_include_directories(tarovue_version INTERFACE ${CMAKE_BINARY_DIR}/generated)
