# The APF reader, the unpacker and the TIFF, PCX and DCX readers once more
# with AddressSanitizer and UBSan, fed damaged files. Cheap: only the image
# sources and the mutation tests are instrumented; the libraries under them
# are not. No allocation may pass 64 MB.
if(NOT SKIPMAIL_SANITIZE)
  set(fax_image_src ${PROJECT_SOURCE_DIR}/src/fax)
  set(fax_san_flags -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_executable(test_fax_image_asan
    ${PROJECT_SOURCE_DIR}/tests/fax/image/apf_mutation_test.cpp
    ${PROJECT_SOURCE_DIR}/tests/fax/image/image_input_mutation_test.cpp
    ${PROJECT_SOURCE_DIR}/tests/fax/image/fax_image_helpers.cpp
    ${PROJECT_SOURCE_DIR}/tests/fax/image/image_input_helpers.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/test_files.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/shell_command.cpp
    ${fax_image_src}/apf_file.cpp ${fax_image_src}/fax_convert.cpp
    ${fax_image_src}/fax_t4_codes.cpp ${fax_image_src}/fax_unpack.cpp
    ${fax_image_src}/fax_bitmap_input.cpp ${fax_image_src}/fax_image_source.cpp
    ${fax_image_src}/fax_tiff_input.cpp ${fax_image_src}/fax_pcx_input.cpp)
  target_include_directories(test_fax_image_asan PRIVATE ${PROJECT_SOURCE_DIR}/src
                             ${PROJECT_SOURCE_DIR}/tests)
  target_compile_options(test_fax_image_asan PRIVATE ${fax_san_flags})
  target_link_options(test_fax_image_asan PRIVATE ${fax_san_flags})
  target_link_libraries(test_fax_image_asan PRIVATE skip_serial skip_platform GTest::gtest_main)
  add_test(NAME fax_image_asan COMMAND test_fax_image_asan)
  set_tests_properties(fax_image_asan PROPERTIES
    LABELS "sanitizer"
    ENVIRONMENT "ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:max_allocation_size_mb=64")
endif()

# The fax printer's tests run its CUPS backend and skip_faxcvt as CUPS and a
# user would.
target_compile_definitions(${exe} PRIVATE
  SKIPMAIL_PRINTFAX_BACKEND="$<TARGET_FILE:printfax>"
  SKIPMAIL_FAXCVT="$<TARGET_FILE:skip_faxcvt>")
add_dependencies(${exe} printfax printfax_setup skip_faxcvt)

# A user of the fax printer in the station's steps or sending into a job,
# run as the machine's users by those tests.
add_executable(skip_ipp_user ${PROJECT_SOURCE_DIR}/tests/simulator/ipp_user_main.cpp)
target_link_libraries(skip_ipp_user PRIVATE skip_fax Cups::Cups)
target_compile_definitions(${exe} PRIVATE SKIPMAIL_IPP_USER="$<TARGET_FILE:skip_ipp_user>")
add_dependencies(${exe} skip_ipp_user)
