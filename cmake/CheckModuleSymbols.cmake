# Checks a linked ELF module after the build: it exports its entry point and
# nothing else and, when Botan and the C++ runtime are linked in, leaves
# nothing of Botan or libstdc++ to be found at import. The linker
# accepts undefined symbols in a Python extension (they are resolved at
# import), so a static library that failed to provide them would otherwise
# go unnoticed until a user imports the module.
#   cmake -DNM=nm -DMODULE=path.so -DBUNDLED=ON|OFF -DSTATIC_RUNTIME=ON|OFF -P CheckModuleSymbols.cmake
execute_process(COMMAND "${NM}" -D --defined-only --extern-only "${MODULE}"
                OUTPUT_VARIABLE defined RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NM} could not read ${MODULE}")
endif()
string(REGEX MATCHALL "[^\n]+" defined_lines "${defined}")
set(exported "")
foreach(line IN LISTS defined_lines)
    string(REGEX REPLACE "^.* " "" name "${line}")
    list(APPEND exported "${name}")
endforeach()
if(NOT exported STREQUAL "PyInit_orvanecrypto")
    message(FATAL_ERROR "${MODULE} must export PyInit_orvanecrypto only, but exports: ${exported}")
endif()

execute_process(COMMAND "${NM}" -D -C --undefined-only "${MODULE}"
                OUTPUT_VARIABLE undefined RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NM} could not read ${MODULE}")
endif()
if(BUNDLED)
    string(REGEX MATCHALL "[^\n]*Botan::[^\n]*" botan_undefined "${undefined}")
    if(botan_undefined)
        message(FATAL_ERROR "${MODULE} leaves Botan symbols undefined: ${botan_undefined}")
    endif()
endif()
if(STATIC_RUNTIME)
    # libgcc_s (GCC_ versions) stays shared: it is the system's unwinder.
    string(REGEX MATCHALL "[^\n]*@(GLIBCXX|CXXABI)_[^\n]*" runtime_undefined "${undefined}")
    if(runtime_undefined)
        message(FATAL_ERROR "${MODULE} still needs the shared C++ runtime: ${runtime_undefined}")
    endif()
endif()
