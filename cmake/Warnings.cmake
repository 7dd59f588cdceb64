# Compiler warnings for the project's own targets: ormidal_warnings(<target>).
function(ormidal_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
                                           -Wcast-align -Wimplicit-fallthrough)
  if(ORMIDAL_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
