# kvzsvw.so, the mall module, from the module's folders. The sources are compiled once, into an
# object library that both the loadable module and the unit tests link.
file(GLOB SHOPVERA_MODULE_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_SOURCE_DIR}/shell/*.cpp
     ${CMAKE_SOURCE_DIR}/template/*.cpp
     ${CMAKE_SOURCE_DIR}/web/*.cpp
     ${CMAKE_SOURCE_DIR}/catalogue/*.cpp
     ${CMAKE_SOURCE_DIR}/orders/*.cpp
     ${CMAKE_SOURCE_DIR}/browse/*.cpp
     ${CMAKE_SOURCE_DIR}/checkout/*.cpp
     ${CMAKE_SOURCE_DIR}/entry/*.cpp)
if(SHOPVERA_MODULE_SOURCES)
  add_library(kvzsvw_objects OBJECT ${SHOPVERA_MODULE_SOURCES})
  target_include_directories(kvzsvw_objects PUBLIC ${CMAKE_SOURCE_DIR})
  target_compile_options(kvzsvw_objects PRIVATE ${SHOPVERA_WARNINGS})
  # Only the entry points leave the loadable module; the unit tests reach everything else
  # because they link the objects themselves.
  set_target_properties(kvzsvw_objects PROPERTIES C_VISIBILITY_PRESET hidden
                        CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  add_library(kvzsvw MODULE $<TARGET_OBJECTS:kvzsvw_objects>)
  shopvera_loadable(kvzsvw)
endif()
