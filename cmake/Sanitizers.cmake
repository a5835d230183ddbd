# One sanitizer setting for the whole build: the driver, the platform and the tests must agree.
if(VRAX_SANITIZE)
  add_compile_options(-fsanitize=${VRAX_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${VRAX_SANITIZE})
endif()
