# HB_SANITIZE applies one sanitizer set to every target of the build.
if(HB_SANITIZE)
    add_compile_options(-fsanitize=${HB_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${HB_SANITIZE})
endif()
