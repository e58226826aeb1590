# Checks a Windows plug-in DLL from its PE tables, on the build machine:
#   cmake -DDLL=Chantera.dll -DOBJDUMP=x86_64-w64-mingw32-objdump [-DEXPORTS=a;b] -P cmake/CheckWindowsDll.cmake
# - it exports exactly EXPORTS (sorted; VSTPluginMain and main by default), undecorated:
#   GetPluginFactory, InitDll and ExitDll for the VST3 build, clap_entry for the CLAP one;
# - it imports only system DLLs, so the plug-in folder needs no C++ runtime DLL beside it.
cmake_minimum_required(VERSION 3.20)
if(NOT DLL OR NOT OBJDUMP)
  message(FATAL_ERROR "usage: cmake -DDLL=<file.dll> -DOBJDUMP=<objdump> -P CheckWindowsDll.cmake")
endif()
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE tables RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
endif()
string(REPLACE "\n" ";" lines "${tables}")

# Export names: the rows "[   0] +base[   1] 0000 VSTPluginMain" after the
# "[Ordinal/Name Pointer] Table" heading, up to the next blank line.
set(exports "")
set(in_names OFF)
set(imports "")
foreach(line IN LISTS lines)
  if(line MATCHES "Ordinal/Name Pointer\\] Table")
    set(in_names ON)
  elseif(in_names AND line MATCHES "^[ \t]*\\[ *[0-9]+\\].* ([^ ]+)$")
    # DPF exports the DLL's own entry point, DllMain (DllMain@12 in 32-bit DLLs), to
    # learn its module handle; Windows calls it, hosts do not. Not counted.
    set(name "${CMAKE_MATCH_1}")
    if(NOT name MATCHES "^DllMain(@12)?$")
      list(APPEND exports "${name}")
    endif()
  elseif(in_names AND line MATCHES "^[ \t]*$")
    set(in_names OFF)
  endif()
  if(line MATCHES "DLL Name: (.+)$")
    string(TOUPPER "${CMAKE_MATCH_1}" name)
    list(APPEND imports "${name}")
  endif()
endforeach()

if(NOT EXPORTS)
  set(EXPORTS "VSTPluginMain;main")
endif()
list(SORT exports)
list(SORT EXPORTS)
if(NOT exports STREQUAL EXPORTS)
  message(FATAL_ERROR "${DLL} exports [${exports}], expected exactly [${EXPORTS}]")
endif()

# Windows itself and the C runtime that ships with it.
set(system_dlls KERNEL32.DLL USER32.DLL WINMM.DLL ADVAPI32.DLL GDI32.DLL MSVCRT.DLL UCRTBASE.DLL)
set(foreign "")
foreach(name IN LISTS imports)
  if(NOT name IN_LIST system_dlls AND NOT name MATCHES "^API-MS-WIN-CRT-")
    list(APPEND foreign "${name}")
  endif()
endforeach()
if(foreign)
  message(FATAL_ERROR "${DLL} imports DLLs that are not part of Windows: ${foreign} (all: ${imports})")
endif()
message(STATUS "${DLL}: exports ${exports}; imports ${imports}")
