# Read by cpack for each package it makes: the rpm's distribution family.
#   el    RHEL, CentOS and Oracle Linux 7, 8 and 9: the multipath package device-mapper-multipath
#   sles  SUSE Linux Enterprise Server 12 SP5 and 15: the multipath package multipath-tools
if(CPACK_GENERATOR STREQUAL "RPM")
  if(NOT DEFINED MORVEL_RPM_FAMILY OR MORVEL_RPM_FAMILY STREQUAL "")
    set(MORVEL_RPM_FAMILY el)
  endif()
  if(MORVEL_RPM_FAMILY STREQUAL "el")
    set(CPACK_RPM_PACKAGE_REQUIRES "bash, device-mapper-multipath")
  elseif(MORVEL_RPM_FAMILY STREQUAL "sles")
    set(CPACK_RPM_PACKAGE_REQUIRES "bash, multipath-tools")
  else()
    message(FATAL_ERROR "unknown rpm family ${MORVEL_RPM_FAMILY} (el or sles)")
  endif()
  set(CPACK_RPM_PACKAGE_RELEASE "1.${MORVEL_RPM_FAMILY}")
endif()
