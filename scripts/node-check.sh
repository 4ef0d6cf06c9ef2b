#!/bin/sh
# The proxy's check of one cluster node (HAProxy external-check, see
# cluster.sh): the node is up only while it is synced with its cluster. A
# node that is still joining already takes logins but refuses statements
# (1047), and one cut off from the others refuses them for good.
#   node-check.sh PROXY_ADDR PROXY_PORT NODE_ADDR NODE_PORT
state=$(/usr/bin/mariadb --no-defaults -h"$3" -P"$4" -uhaproxy_check --connect-timeout=1 -N -B \
  -e "show global status like 'wsrep_local_state_comment'" 2>/dev/null)
case "$state" in
*[[:space:]]Synced) exit 0 ;;
*) exit 1 ;;
esac
