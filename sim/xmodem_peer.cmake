# The simulated module's XMODEM roles, included from sim/CMakeLists.txt.
add_library(modsim_xmodem STATIC ${CMAKE_CURRENT_LIST_DIR}/xmodem_peer.cpp)
target_include_directories(modsim_xmodem PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(modsim_xmodem PUBLIC xmodem PRIVATE project_warnings)
