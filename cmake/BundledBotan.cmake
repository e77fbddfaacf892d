# Botan built from source inside this build, as a static position-independent
# library linked into the module, so that a wheel needs nothing of the system
# beyond the C library and the loader. Defines the imported target
# orvanecrypto::botan.
#
# The source is, in this order: the minimized copy the sdist carries
# (third_party/botan, written by ./dev when it makes the sdist), the tarball
# named by the environment variable ORVANECRYPTO_BOTAN_TARBALL (or the cache
# variable of the same name), or a download of the pinned release. A tarball
# or download must match a pinned SHA-256.
#
# ORVANECRYPTO_BOTAN_PREBUILT names the Botan build directory of an earlier
# build for the same target (./dev builds the wheels of three interpreters
# with one Botan per target); it is checked and linked instead of building
# Botan again.
include(ExternalProject)

set(ORVANECRYPTO_BOTAN_VERSION 3.13.0)
set(ORVANECRYPTO_BOTAN_URL "https://botan.randombit.net/releases/Botan-${ORVANECRYPTO_BOTAN_VERSION}.tar.xz")
# The release tarball, and a `git archive` of tag 3.13.0 (commit
# 2a81eef56c96c237e590c27f9a75e60317c9c700) kept for offline builds. Both
# unpack into Botan-3.13.0/.
set(ORVANECRYPTO_BOTAN_RELEASE_SHA256 12f5a8358890bbee82edfe9d2e7769b0a610b6dd0e0698aea13d20a675d84620)
set(ORVANECRYPTO_BOTAN_SNAPSHOT_SHA256 ec3a74b10a83bd4513df8606c888975e0eb0083961645c63ba862bba2fc4cc7f)

set(ORVANECRYPTO_BOTAN_TARBALL "$ENV{ORVANECRYPTO_BOTAN_TARBALL}" CACHE FILEPATH
    "Local Botan ${ORVANECRYPTO_BOTAN_VERSION} source tarball for the bundled build (empty: download the release)")

set(ORVANECRYPTO_BOTAN_SOURCE_DIR "${PROJECT_SOURCE_DIR}/third_party/botan")
set(ORVANECRYPTO_BOTAN_PREBUILT "" CACHE PATH "Botan build directory of an earlier build for the same target")

if(EXISTS "${ORVANECRYPTO_BOTAN_SOURCE_DIR}/configure.py")
    set(botan_url "")
elseif(ORVANECRYPTO_BOTAN_TARBALL)
    if(NOT EXISTS "${ORVANECRYPTO_BOTAN_TARBALL}")
        message(FATAL_ERROR "ORVANECRYPTO_BOTAN_TARBALL names ${ORVANECRYPTO_BOTAN_TARBALL}, which does not exist")
    endif()
    file(SHA256 "${ORVANECRYPTO_BOTAN_TARBALL}" botan_tarball_sha256)
    if(NOT botan_tarball_sha256 STREQUAL ORVANECRYPTO_BOTAN_RELEASE_SHA256
       AND NOT botan_tarball_sha256 STREQUAL ORVANECRYPTO_BOTAN_SNAPSHOT_SHA256)
        message(FATAL_ERROR "${ORVANECRYPTO_BOTAN_TARBALL} has SHA-256 ${botan_tarball_sha256}, which is neither "
                            "Botan ${ORVANECRYPTO_BOTAN_VERSION}'s release tarball nor the source snapshot of its tag")
    endif()
    set(botan_url "${ORVANECRYPTO_BOTAN_TARBALL}")
    set(botan_sha256 "${botan_tarball_sha256}")
else()
    set(botan_url "${ORVANECRYPTO_BOTAN_URL}")
    set(botan_sha256 "${ORVANECRYPTO_BOTAN_RELEASE_SHA256}")
endif()
if(ORVANECRYPTO_BOTAN_PREBUILT)
    message(STATUS "Bundled Botan ${ORVANECRYPTO_BOTAN_VERSION} built before in ${ORVANECRYPTO_BOTAN_PREBUILT}")
elseif(botan_url)
    message(STATUS "Bundled Botan ${ORVANECRYPTO_BOTAN_VERSION} from ${botan_url}")
else()
    message(STATUS "Bundled Botan ${ORVANECRYPTO_BOTAN_VERSION} from the source in ${ORVANECRYPTO_BOTAN_SOURCE_DIR}")
endif()

# Only what the module uses, for this processor family, as the table of
# platforms (tools/wheels/targets.py) names it: a minimized build leaves out
# processor-specific modules not named, silently, and would run portable AES
# and SHA-256 only. A family the table does not know gets the portable code,
# said aloud.
execute_process(COMMAND "${Python_EXECUTABLE}" "${PROJECT_SOURCE_DIR}/tools/wheels/targets.py" botan
                        "${CMAKE_SYSTEM_PROCESSOR}"
                OUTPUT_VARIABLE botan_choice OUTPUT_STRIP_TRAILING_WHITESPACE
                ERROR_VARIABLE botan_choice_error RESULT_VARIABLE botan_choice_status)
if(botan_choice_status EQUAL 0)
    list(GET botan_choice 0 botan_cpu)
    list(GET botan_choice 1 botan_expected_arch)
    list(GET botan_choice 2 botan_module_list)
    string(REPLACE "," ";" botan_modules "${botan_module_list}")
else()
    message(WARNING "${botan_choice_error}: Botan is built for ${CMAKE_SYSTEM_PROCESSOR} with portable AES and SHA-256 only")
    set(botan_cpu "${CMAKE_SYSTEM_PROCESSOR}")
    set(botan_expected_arch "${CMAKE_SYSTEM_PROCESSOR}")
    set(botan_modules aes sha2_32 os_utils)
endif()
list(JOIN botan_modules "," botan_module_list)

if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    set(botan_cc gcc)
elseif(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    set(botan_cc clang)
elseif(MSVC)
    set(botan_cc msvc)
else()
    message(FATAL_ERROR "bundled Botan: no Botan compiler name for ${CMAKE_CXX_COMPILER_ID}")
endif()

# The generator's own ninja when there is one (scikit-build-core may have
# provided it just for this build), else one on PATH, else make.
if(CMAKE_GENERATOR MATCHES "Ninja" AND CMAKE_MAKE_PROGRAM)
    set(ORVANECRYPTO_NINJA "${CMAKE_MAKE_PROGRAM}")
else()
    find_program(ORVANECRYPTO_NINJA NAMES ninja ninja-build)
endif()
if(ORVANECRYPTO_NINJA)
    set(botan_build_tool ninja)
    set(botan_build_command "${ORVANECRYPTO_NINJA}")
elseif(NOT WIN32)
    find_program(ORVANECRYPTO_MAKE NAMES gmake make REQUIRED)
    set(botan_build_tool make)
    set(botan_build_command "${ORVANECRYPTO_MAKE}")
else()
    message(FATAL_ERROR "bundled Botan needs ninja to build on Windows")
endif()

# A cross toolchain brings its own archiver, and may turn off what the target's
# C library lacks (ORVANECRYPTO_BOTAN_CONFIGURE_ARGS, a space-separated list).
set(ORVANECRYPTO_BOTAN_CONFIGURE_ARGS "" CACHE STRING "More arguments for Botan's configure.py")
separate_arguments(botan_extra_args UNIX_COMMAND "${ORVANECRYPTO_BOTAN_CONFIGURE_ARGS}")
if(CMAKE_CROSSCOMPILING AND CMAKE_AR)
    list(APPEND botan_extra_args "--ar-command=${CMAKE_AR}")
endif()

set(botan_prefix "${CMAKE_BINARY_DIR}/botan")
set(botan_build_dir "${botan_prefix}/build")
set(botan_library "${botan_build_dir}/${CMAKE_STATIC_LIBRARY_PREFIX}botan-3${CMAKE_STATIC_LIBRARY_SUFFIX}")
set(botan_include_dir "${botan_build_dir}/build/include/public")
set(botan_cxxflags "")
if(NOT MSVC)
    set(botan_cxxflags "-fPIC")
endif()
# Botan's assertions name their source files: the build's paths are mapped
# away (the amalgamation is written into the build directory).
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    string(APPEND botan_cxxflags " -ffile-prefix-map=${botan_prefix}=botan -ffile-prefix-map=${ORVANECRYPTO_BOTAN_SOURCE_DIR}=botan/src")
endif()

if(ORVANECRYPTO_BOTAN_PREBUILT)
    set(botan_build_dir "${ORVANECRYPTO_BOTAN_PREBUILT}")
    set(botan_library "${botan_build_dir}/${CMAKE_STATIC_LIBRARY_PREFIX}botan-3${CMAKE_STATIC_LIBRARY_SUFFIX}")
    set(botan_include_dir "${botan_build_dir}/build/include/public")
    if(NOT EXISTS "${botan_library}" OR NOT EXISTS "${botan_build_dir}/build/build_config.json")
        message(FATAL_ERROR "ORVANECRYPTO_BOTAN_PREBUILT=${botan_build_dir} holds no finished Botan build")
    endif()
    file(READ "${botan_build_dir}/build/build_config.json" botan_prebuilt_config)
    string(JSON botan_prebuilt_arch GET "${botan_prebuilt_config}" arch)
    if(NOT botan_prebuilt_arch STREQUAL botan_expected_arch)
        message(FATAL_ERROR "the Botan build in ${botan_build_dir} is for ${botan_prebuilt_arch}, not ${botan_expected_arch}")
    endif()
    execute_process(COMMAND "${CMAKE_COMMAND}" "-DBUILD_CONFIG=${botan_build_dir}/build/build_config.json"
                            "-DMODULES=${botan_module_list}" -P "${CMAKE_CURRENT_LIST_DIR}/VerifyBotanModules.cmake"
                    RESULT_VARIABLE botan_modules_status)
    if(NOT botan_modules_status EQUAL 0)
        message(FATAL_ERROR "the Botan build in ${botan_build_dir} lacks modules the module needs")
    endif()
    add_library(orvanecrypto::botan STATIC IMPORTED GLOBAL)
    set_target_properties(orvanecrypto::botan PROPERTIES
        IMPORTED_LOCATION "${botan_library}"
        INTERFACE_INCLUDE_DIRECTORIES "${botan_include_dir}")
    find_package(Threads REQUIRED)
    target_link_libraries(orvanecrypto::botan INTERFACE Threads::Threads)
    if(EXISTS "${ORVANECRYPTO_BOTAN_SOURCE_DIR}/license.txt")
        set(ORVANECRYPTO_BOTAN_LICENSE "${ORVANECRYPTO_BOTAN_SOURCE_DIR}/license.txt")
    else()
        set(ORVANECRYPTO_BOTAN_LICENSE "${botan_build_dir}/../src/botan_bundled/license.txt")
    endif()
    return()
endif()

if(botan_url)
    set(botan_source_args URL "${botan_url}" URL_HASH SHA256=${botan_sha256} DOWNLOAD_EXTRACT_TIMESTAMP ON)
else()
    set(botan_source_args SOURCE_DIR "${ORVANECRYPTO_BOTAN_SOURCE_DIR}" DOWNLOAD_COMMAND "")
endif()

# configure.py writes the amalgamation into its working directory, so it runs
# in the build directory; the sources stay as unpacked.
ExternalProject_Add(botan_bundled
    PREFIX "${botan_prefix}"
    ${botan_source_args}
    BINARY_DIR "${botan_build_dir}"
    CONFIGURE_COMMAND "${Python_EXECUTABLE}" <SOURCE_DIR>/configure.py
        --with-build-dir=<BINARY_DIR> --minimized-build "--enable-modules=${botan_module_list}"
        --cpu=${botan_cpu} --cc=${botan_cc} "--cc-bin=${CMAKE_CXX_COMPILER}"
        --amalgamation --build-targets=static --without-documentation
        --build-tool=${botan_build_tool} "--extra-cxxflags=${botan_cxxflags}"
        ${botan_extra_args}
    BUILD_COMMAND "${botan_build_command}" libs
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS "${botan_library}"
    LOG_CONFIGURE ON
    LOG_OUTPUT_ON_FAILURE ON)

# A module Botan could not build for this target is skipped with a note in the
# configure log; here that stops the build instead.
ExternalProject_Add_Step(botan_bundled verify_modules
    COMMAND "${CMAKE_COMMAND}" "-DBUILD_CONFIG=<BINARY_DIR>/build/build_config.json"
            "-DMODULES=${botan_module_list}" -P "${CMAKE_CURRENT_LIST_DIR}/VerifyBotanModules.cmake"
    DEPENDEES configure
    DEPENDERS build)

# The include directory exists only after Botan's configure step.
file(MAKE_DIRECTORY "${botan_include_dir}")
add_library(orvanecrypto::botan STATIC IMPORTED GLOBAL)
set_target_properties(orvanecrypto::botan PROPERTIES
    IMPORTED_LOCATION "${botan_library}"
    INTERFACE_INCLUDE_DIRECTORIES "${botan_include_dir}")
find_package(Threads REQUIRED)
target_link_libraries(orvanecrypto::botan INTERFACE Threads::Threads)
add_dependencies(orvanecrypto::botan botan_bundled)

ExternalProject_Get_Property(botan_bundled SOURCE_DIR)
set(ORVANECRYPTO_BOTAN_LICENSE "${SOURCE_DIR}/license.txt")
