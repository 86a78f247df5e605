# Service unit of morvel_monitor.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/../packaging/systemd/morvel_monitor.service
        DESTINATION lib/systemd/system)
