# The type stubs c_sdk-stubs/__init__.pyi, generated from the module just
# built (tools/gen_stubs.py reads the module's own description of its
# callables), staged next to the module and installed beside it as a PEP 561
# stub package, so that type checkers find them once the wheel is installed.
#
# Generating them imports the module, so the build interpreter must be able
# to load it: not with the sanitizers (their runtime would have to be
# preloaded into the interpreter).
option(C_SDK_TYPE_STUBS "Generate and install the c_sdk-stubs package" ON)

if(C_SDK_TYPE_STUBS AND NOT C_SDK_SANITIZE)
  set(C_SDK_STUBS_FILE ${C_SDK_STAGE_DIR}/c_sdk-stubs/__init__.pyi)
  add_custom_command(
    OUTPUT ${C_SDK_STUBS_FILE}
    COMMAND ${CMAKE_COMMAND} -E env PYTHONDONTWRITEBYTECODE=1
            PYTHONPATH=${PROJECT_SOURCE_DIR}/standin/qv
            ${Python_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tools/gen_stubs.py
            --module-dir ${C_SDK_STAGE_DIR} --out ${C_SDK_STUBS_FILE}
    DEPENDS c_sdk zadiv3e
            ${PROJECT_SOURCE_DIR}/tools/gen_stubs.py ${PROJECT_SOURCE_DIR}/tools/c_sdk_api.py
            ${PROJECT_SOURCE_DIR}/tools/reference_text.py
    COMMENT "Generating the c_sdk type stubs from the built module"
    VERBATIM)
  add_custom_target(c_sdk_stubs ALL DEPENDS ${C_SDK_STUBS_FILE})
  install(FILES ${C_SDK_STUBS_FILE} DESTINATION c_sdk-stubs)
endif()
