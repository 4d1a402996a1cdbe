# Signs the linked setup with Authenticode (SHA-256) through osslsigncode, in
# place. Run by the nimbrel-setup target after linking:
#   cmake -DEXE=<exe> -DPKCS12=<file.p12> [-DTIMESTAMP_URL=<url>]
#         -DOSSLSIGNCODE=<tool> -P sign-setup.cmake
# The password comes from the environment variable NIMBREL_SIGN_PASSWORD (empty
# when unset). It reaches the tool on its standard input, never on a command
# line where other users of the machine could read it.
cmake_minimum_required(VERSION 3.25)

set(signed "${EXE}.signed")
set(password_file "${EXE}.password")
file(REMOVE "${signed}" "${password_file}")
file(TOUCH "${password_file}")
file(CHMOD "${password_file}" PERMISSIONS OWNER_READ OWNER_WRITE)
file(WRITE "${password_file}" "$ENV{NIMBREL_SIGN_PASSWORD}")

set(timestamp)
if(TIMESTAMP_URL)
  set(timestamp -ts "${TIMESTAMP_URL}")
endif()
execute_process(
  COMMAND "${OSSLSIGNCODE}" sign -pkcs12 "${PKCS12}" -readpass - -h sha256 ${timestamp}
          -in "${EXE}" -out "${signed}"
  INPUT_FILE "${password_file}"
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)
file(REMOVE "${password_file}")
if(NOT result EQUAL 0)
  file(REMOVE "${signed}")
  # An unsigned setup must not pass for a signed one: the link result goes too.
  file(REMOVE "${EXE}")
  message(FATAL_ERROR "Signing ${EXE} failed:\n${output}")
endif()
file(RENAME "${signed}" "${EXE}")
file(CHMOD "${EXE}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
     GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
