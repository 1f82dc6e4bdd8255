# Runs at install time. Writes the systemd unit with the paths of this install and installs it
# with the defaults file. Inputs, set by the install rule: QV_PACKAGING_SOURCE_DIR,
# QV_PACKAGING_BINARY_DIR, QV_SBINDIR, QV_LIBEXECDIR, QV_SYSCONFDIR, QV_SYSTEMD_UNIT_DIR (each
# directory relative to CMAKE_INSTALL_PREFIX or absolute).

function(qv_full_path out dir)
    if(IS_ABSOLUTE "${dir}")
        set(${out} "${dir}" PARENT_SCOPE)
    else()
        set(${out} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
    endif()
endfunction()

# Configuration lives in /etc for the /usr prefix and in /etc/opt/<name> for /opt/<name>, as the
# usual GNU layout has it; any other prefix keeps it under the prefix.
function(qv_sysconf_path out dir)
    if(IS_ABSOLUTE "${dir}")
        set(${out} "${dir}" PARENT_SCOPE)
    elseif(dir STREQUAL "etc" AND CMAKE_INSTALL_PREFIX MATCHES "^/usr/?$")
        set(${out} "/etc" PARENT_SCOPE)
    elseif(dir STREQUAL "etc" AND CMAKE_INSTALL_PREFIX MATCHES "^/opt/(.+)$")
        string(REGEX REPLACE "/$" "" name "${CMAKE_MATCH_1}")
        set(${out} "/etc/opt/${name}" PARENT_SCOPE)
    else()
        set(${out} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
    endif()
endfunction()

qv_full_path(QV_FULL_SBINDIR "${QV_SBINDIR}")
qv_full_path(QV_FULL_LIBEXECDIR "${QV_LIBEXECDIR}")
qv_sysconf_path(QV_FULL_SYSCONFDIR "${QV_SYSCONFDIR}")
qv_full_path(unitDir "${QV_SYSTEMD_UNIT_DIR}")

# A staging folder of this install's own, so installs running side by side (tests) do
# not write the same file; removed once its files are installed.
string(MD5 installKey "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}")
set(staging "${QV_PACKAGING_BINARY_DIR}/install-${installKey}")
configure_file("${QV_PACKAGING_SOURCE_DIR}/quorvamonitord.service.in"
               "${staging}/quorvamonitord.service" @ONLY)
configure_file("${QV_PACKAGING_SOURCE_DIR}/quorvamonitord.default"
               "${staging}/quorvamonitord" COPYONLY)

file(INSTALL DESTINATION "${unitDir}" TYPE FILE FILES "${staging}/quorvamonitord.service")
file(INSTALL DESTINATION "${QV_FULL_SYSCONFDIR}/default" TYPE FILE
     FILES "${staging}/quorvamonitord")
file(REMOVE_RECURSE "${staging}")
