# Signs the linked setup with Authenticode (SHA-256) through osslsigncode into
# the deliverable:
#   cmake -DUNSIGNED=<linked exe> -DSIGNED=<deliverable> -DPKCS12=<file.p12>
#         [-DTIMESTAMP_URL=<url>] -DOSSLSIGNCODE=<tool> -P sign-setup.cmake
# Run by the nimbrel-setup-signed target, whose output is SIGNED. SIGNED goes
# first and comes back, by a rename, only once the tool has succeeded: a failed
# or interrupted signing leaves no setup, and the next build signs again.
#
# The password comes from the environment variable NIMBREL_SIGN_PASSWORD
# (empty when unset). A shell writes it, with a newline that the tool cuts off,
# into a pipe that the tool opens as /dev/stdin: it is never in a file and never
# on a command line. (osslsigncode 2.5, Debian 12's own, reads -readpass from a
# named file only; 2.9 would also take "-".)
cmake_minimum_required(VERSION 3.25)

set(partial "${SIGNED}.partial")
file(REMOVE "${SIGNED}" "${partial}")

set(timestamp)
if(TIMESTAMP_URL)
  set(timestamp -ts "${TIMESTAMP_URL}")
endif()
execute_process(
  COMMAND sh -c [[printf '%s\n' "$NIMBREL_SIGN_PASSWORD"]]
  COMMAND "${OSSLSIGNCODE}" sign -pkcs12 "${PKCS12}" -readpass /dev/stdin -h sha256
          ${timestamp} -in "${UNSIGNED}" -out "${partial}"
  RESULTS_VARIABLE results
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)
if(NOT results STREQUAL "0;0")
  file(REMOVE "${partial}")
  message(FATAL_ERROR "Signing ${UNSIGNED} failed (${results}):\n${output}")
endif()
file(CHMOD "${partial}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
     GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(RENAME "${partial}" "${SIGNED}")
