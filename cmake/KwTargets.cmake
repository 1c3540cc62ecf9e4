# Helpers that build one source into both worlds.
#
#   kw_kernel_library(name SOURCES ...)      static library of kernel code
#   kw_kernel_driver(name SOURCES ... LIBS ...)
#       host:    a Linux shared module exporting only DriverEntry, in build/<preset>/modules
#       windows: a native PE driver (.sys) importing only ntoskrnl.exe and HAL.dll
#   kw_gtest(name SOURCES ... LIBS ...)      a GoogleTest program, one CTest test per case

set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
set(CMAKE_EXPORT_COMPILE_COMMANDS ON)

if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
    set(KW_WINDOWS ON)
else()
    set(KW_WINDOWS OFF)
endif()

set(KW_MODULE_DIR ${CMAKE_BINARY_DIR}/modules)
set(KW_PACKAGE_DIR ${CMAKE_BINARY_DIR}/package)

add_compile_options(-Wall -Wextra -Wno-unused-parameter -Wno-missing-field-initializers)

if(KW_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize=vptr -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()

# Everything kernel code may see of the platform (also seen by the tests that link it).
add_library(kw_kernel_flags INTERFACE)
target_include_directories(kw_kernel_flags INTERFACE ${CMAKE_SOURCE_DIR}/platform/include)
target_compile_definitions(kw_kernel_flags INTERFACE KW_KERNEL=1)
if(KW_WINDOWS)
    target_include_directories(kw_kernel_flags SYSTEM INTERFACE /usr/${KW_MINGW_TRIPLE}/include/ddk)
    target_compile_definitions(kw_kernel_flags INTERFACE _AMD64_ _WIN64)
else()
    target_include_directories(kw_kernel_flags INTERFACE ${CMAKE_SOURCE_DIR}/platform/sim/kernel/include)
endif()

# How kernel code itself is compiled: freestanding C++17, no exceptions, no RTTI, no
# thread-safe statics, on both builds.
function(kw_kernel_options target)
    set_target_properties(${target} PROPERTIES CXX_STANDARD 17)
    target_compile_options(${target} PRIVATE
        $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti -fno-threadsafe-statics -fcheck-new>)
    if(KW_WINDOWS)
        target_compile_options(${target} PRIVATE -fno-stack-protector -Wno-unknown-pragmas)
    else()
        target_compile_options(${target} PRIVATE -fvisibility=hidden -fvisibility-inlines-hidden)
    endif()
endfunction()

function(kw_kernel_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    add_library(${name} STATIC ${ARG_SOURCES})
    target_link_libraries(${name} PUBLIC kw_kernel_flags ${ARG_LIBS})
    if(KW_WINDOWS)
        # The kernel's import libraries follow every library that calls the kernel, however
        # deep in a driver's chain of libraries it sits (the linker reads each archive once).
        target_link_libraries(${name} PUBLIC ntoskrnl hal)
    endif()
    kw_kernel_options(${name})
endfunction()

function(kw_kernel_driver name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    if(KW_WINDOWS)
        add_executable(${name} ${ARG_SOURCES})
        kw_kernel_options(${name})
        target_link_libraries(${name} PRIVATE kw_kernel_flags ${ARG_LIBS} kw_kcrt)
        set_target_properties(${name} PROPERTIES SUFFIX ".sys" RUNTIME_OUTPUT_DIRECTORY ${KW_PACKAGE_DIR})
        target_link_options(${name} PRIVATE
            -nostdlib -nostartfiles -Wl,--subsystem,native -Wl,--entry,DriverEntry
            -Wl,--dynamicbase -Wl,--nxcompat -Wl,--enable-reloc-section -Wl,--image-base,0x140000000
            -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000 -Wl,--stack,0x40000)
        target_link_libraries(${name} PRIVATE ntoskrnl hal gcc)
    else()
        add_library(${name} MODULE ${ARG_SOURCES})
        kw_kernel_options(${name})
        target_link_libraries(${name} PRIVATE kw_kernel_flags ${ARG_LIBS} kw_modrt kwsim_kernel)
        set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".so" LIBRARY_OUTPUT_DIRECTORY ${KW_MODULE_DIR})
        target_link_options(${name} PRIVATE
            -Wl,--version-script=${CMAKE_SOURCE_DIR}/platform/sim/kernel/module.map -Wl,--no-undefined)
    endif()
endfunction()

function(kw_gtest name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} kwsim_testkit GTest::gtest GTest::gmock)
    target_compile_definitions(${name} PRIVATE KWSIM_MODULE_DIR="${KW_MODULE_DIR}")
    include(GoogleTest)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300
        ENVIRONMENT "ASAN_OPTIONS=halt_on_error=1:detect_leaks=1;UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1")
endfunction()
