# Read by cpack before it packages (CPACK_PROJECT_CONFIG_FILE). cpack stamps the package's
# members and the archive headers with SOURCE_DATE_EPOCH from its environment; this gives it the
# value the build was configured with, so a plain `cpack -G DEB` is reproducible and agrees with
# the dates in the manual pages.
set(ENV{SOURCE_DATE_EPOCH} ${CPACK_ZB_SOURCE_DATE_EPOCH})
