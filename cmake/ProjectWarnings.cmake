# Warnings on, and treated as errors, for the project's own targets.
function(hb_warnings target)
    if(MSVC)
        target_compile_options(${target} PRIVATE /W4 /WX)
    else()
        target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wnon-virtual-dtor
                                                 -Wcast-align -Wformat=2 -Werror)
    endif()
endfunction()
