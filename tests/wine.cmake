# Running the Windows test programs under Wine on this machine: their own Wine prefix, the
# DLLs they load and the fonts of the offscreen platform, gathered in folders of the build.
# CTest starts each program through CMAKE_CROSSCOMPILING_EMULATOR (wine).

# Wine shows this machine's root folder as drive Z:.
function(kestrune_wine_path out unixPath)
  set(${out} "Z:${unixPath}" PARENT_SCOPE)
endfunction()

# One folder on the DLL search path: Qt's DLLs and the MinGW runtime, linked in.
set(wineRuntime ${CMAKE_BINARY_DIR}/wine-runtime)
file(MAKE_DIRECTORY ${wineRuntime})
get_target_property(qtCoreDll Qt6::Core IMPORTED_LOCATION_RELEASE)
if(NOT qtCoreDll)
  get_target_property(qtCoreDll Qt6::Core IMPORTED_LOCATION)
endif()
get_filename_component(qtBin ${qtCoreDll} DIRECTORY)
file(GLOB runtimeDlls ${qtBin}/*.dll)
foreach(name libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${name}
                  OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${found}" OR NOT EXISTS "${found}")
    message(FATAL_ERROR "The MinGW runtime library ${name} was not found")
  endif()
  list(APPEND runtimeDlls ${found})
endforeach()
foreach(dll ${runtimeDlls})
  get_filename_component(name ${dll} NAME)
  file(CREATE_LINK ${dll} ${wineRuntime}/${name} SYMBOLIC)
endforeach()

# The offscreen platform on Windows reads fonts from one folder: the same faces the Linux
# tests draw with (Noto CJK for Chinese, DejaVu and Noto for Latin, colour emoji).
set(wineFonts ${CMAKE_BINARY_DIR}/wine-fonts)
file(MAKE_DIRECTORY ${wineFonts})
find_program(FC_LIST fc-list)
if(FC_LIST)
  foreach(family "Noto Sans CJK SC" "DejaVu Sans" "Noto Sans" "Noto Color Emoji")
    execute_process(COMMAND ${FC_LIST} "${family}" file OUTPUT_VARIABLE lines)
    string(REPLACE "\n" ";" lines "${lines}")
    foreach(line ${lines})
      string(REGEX REPLACE ":.*$" "" file "${line}")
      if(file MATCHES "\\.(ttf|ttc|otf)$" AND EXISTS "${file}")
        get_filename_component(name ${file} NAME)
        file(CREATE_LINK ${file} ${wineFonts}/${name} SYMBOLIC)
      endif()
    endforeach()
  endforeach()
endif()

kestrune_wine_path(wineRuntimeW ${wineRuntime})

# Every test program's environment under Wine: its prefix and the DLL folder.
set(KESTRUNE_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
set(KESTRUNE_TEST_ENVIRONMENT
  "WINEPREFIX=${KESTRUNE_WINE_PREFIX}"
  "WINEDEBUG=-all"
  # No installer dialogs for Wine's .NET and HTML engines, which nothing here uses.
  "WINEDLLOVERRIDES=mscoree,mshtml="
  "WINEPATH=${wineRuntimeW}")

# A prefix made ready before the first test that uses it (fixture NAME), for USER.
function(kestrune_wine_prefix_fixture name prefix user)
  add_test(NAME ${name}
    COMMAND ${CMAKE_COMMAND} -DWINE=${CMAKE_CROSSCOMPILING_EMULATOR} -DPREFIX=${prefix}
            -DPLUGINS=${QT6_INSTALL_PREFIX}/${QT6_INSTALL_PLUGINS} -DFONTS=${wineFonts}
            -DUSER_NAME=${user} -P ${PROJECT_SOURCE_DIR}/tests/wine-prefix.cmake)
  set_tests_properties(${name} PROPERTIES FIXTURES_SETUP ${name} RUN_SERIAL TRUE)
endfunction()
kestrune_wine_prefix_fixture(wine_prefix ${KESTRUNE_WINE_PREFIX} "")
