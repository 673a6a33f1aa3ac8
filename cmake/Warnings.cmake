add_compile_options(-Wall -Wextra -Wshadow)
# Qt's moc output and QCoro headers are not ours to fix.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-missing-field-initializers)
endif()
