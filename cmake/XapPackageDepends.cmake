# Read by cpack: the package depends on the C library version that the
# executable needs (its highest GLIBC_ symbol version) and on the packages
# of the tools it runs.
execute_process(COMMAND readelf -V --wide ${CPACK_XAP_EXECUTABLE}
  OUTPUT_VARIABLE xap_versions RESULT_VARIABLE xap_result)
if(NOT xap_result EQUAL 0)
  message(FATAL_ERROR "readelf cannot read ${CPACK_XAP_EXECUTABLE}")
endif()
string(REGEX MATCHALL "GLIBC_[0-9]+\\.[0-9]+(\\.[0-9]+)?" xap_needed "${xap_versions}")
set(xap_glibc 0)
foreach(xap_version IN LISTS xap_needed)
  string(REPLACE "GLIBC_" "" xap_version ${xap_version})
  if(xap_version VERSION_GREATER xap_glibc)
    set(xap_glibc ${xap_version})
  endif()
endforeach()
# coreutils is essential: named with the version of the oldest system whose
# C library is new enough (Ubuntu 22.04's 8.32), so that the tools' package
# is stated without narrowing the systems the module runs on.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= ${xap_glibc}), coreutils (>= 8.32), psmisc, unzip")
