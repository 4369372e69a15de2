# KORVANRT_SANITIZE selects the sanitizers of the whole build.
if(KORVANRT_SANITIZE)
  add_compile_options(-fsanitize=${KORVANRT_SANITIZE} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${KORVANRT_SANITIZE})
endif()
