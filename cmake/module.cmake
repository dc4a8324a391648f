# kvzsvw.so, the mall module, from the module's folders.
file(GLOB SHOPVERA_MODULE_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_SOURCE_DIR}/shell/*.cpp
     ${CMAKE_SOURCE_DIR}/web/*.cpp
     ${CMAKE_SOURCE_DIR}/template/*.cpp
     ${CMAKE_SOURCE_DIR}/catalogue/*.cpp
     ${CMAKE_SOURCE_DIR}/orders/*.cpp
     ${CMAKE_SOURCE_DIR}/checkout/*.cpp)
if(SHOPVERA_MODULE_SOURCES)
  add_library(kvzsvw MODULE ${SHOPVERA_MODULE_SOURCES})
  shopvera_loadable(kvzsvw)
  # The module's parts without I/O (templates, decoders) are also unit-tested in-process.
  add_library(kvzsvw_testable STATIC ${SHOPVERA_MODULE_SOURCES})
  target_include_directories(kvzsvw_testable PUBLIC ${CMAKE_SOURCE_DIR})
  target_compile_options(kvzsvw_testable PRIVATE ${SHOPVERA_WARNINGS})
endif()
