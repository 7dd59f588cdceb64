# Sanitizer builds: ORMIDAL_SANITIZE is a list of -fsanitize= names applied to everything.
if(ORMIDAL_SANITIZE)
  list(JOIN ORMIDAL_SANITIZE "," _san)
  add_compile_options(-fsanitize=${_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_san})
  if("thread" IN_LIST ORMIDAL_SANITIZE)
    add_compile_definitions(ORMIDAL_TSAN=1)
  endif()
endif()
