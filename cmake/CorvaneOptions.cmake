# Compiler settings shared by every target of the project.

function(corvane_set_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
    if(CORVANE_WARNINGS_AS_ERRORS)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()

option(CORVANE_WARNINGS_AS_ERRORS "Treat compiler warnings as errors" OFF)

# Sanitizer builds: -DCORVANE_SANITIZE=address or =thread.
set(CORVANE_SANITIZE "" CACHE STRING "Sanitizer to build with (address, thread or empty)")
if(CORVANE_SANITIZE)
    add_compile_options(-fsanitize=${CORVANE_SANITIZE} -fno-omit-frame-pointer)
    add_link_options(-fsanitize=${CORVANE_SANITIZE})
endif()

find_program(CCACHE_PROGRAM ccache)
if(CCACHE_PROGRAM)
    set(CMAKE_CXX_COMPILER_LAUNCHER "${CCACHE_PROGRAM}")
endif()
