# Runs at every build (cmake -P): writes buildInfo.h with the build's date and time, which
# SOURCE_DATE_EPOCH in the build's environment fixes for reproducible builds. The file is
# rewritten only when its text changes, so a build with a fixed date recompiles nothing.
# Inputs: QV_BUILD_INFO_TEMPLATE, QV_BUILD_INFO_OUTPUT, QV_BUILD_CONFIGURATION.
string(TIMESTAMP QV_BUILD_DATE "%Y/%m/%d %H:%M:%S" UTC)
configure_file("${QV_BUILD_INFO_TEMPLATE}" "${QV_BUILD_INFO_OUTPUT}" @ONLY)
