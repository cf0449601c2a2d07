# Prepares a Wine prefix for the Windows test programs (run by CTest as a fixture):
#   cmake -DWINE=… -DPREFIX=… -DPLUGINS=… -DFONTS=… [-DUSER_NAME=…] -P wine-prefix.cmake
# Wine hands no variable named QT_* from this machine to a Windows program, so the toolkit's
# plugin and font folders go into the prefix's own environment (HKCU\Environment). The null
# display driver lets the programs' hidden message windows exist without an X display.

if(USER_NAME)
  set(ENV{USER} ${USER_NAME})
  set(ENV{LOGNAME} ${USER_NAME})
endif()
set(ENV{WINEPREFIX} ${PREFIX})
set(ENV{WINEDEBUG} -all)
set(ENV{WINEDLLOVERRIDES} "mscoree,mshtml=")

function(wine)
  execute_process(COMMAND ${WINE} ${ARGN} RESULT_VARIABLE failed OUTPUT_QUIET ERROR_QUIET)
  if(failed)
    message(FATAL_ERROR "wine ${ARGN}: failed (${failed})")
  endif()
endfunction()

wine(wineboot --init)
wine(reg add "HKCU\\Environment" /v QT_PLUGIN_PATH /d "Z:${PLUGINS}" /f)
wine(reg add "HKCU\\Environment" /v QT_QPA_FONTDIR /d "Z:${FONTS}" /f)
wine(reg add "HKCU\\Software\\Wine\\Drivers" /v Graphics /d null /f)
get_filename_component(wineBin ${WINE} DIRECTORY)
find_program(WINESERVER NAMES wineserver HINTS ${wineBin} /usr/lib/wine)
if(WINESERVER)
  # Wait until the prefix has been written out and every helper process has ended.
  execute_process(COMMAND ${WINESERVER} --wait TIMEOUT 120)
endif()
