#!/bin/bash
# The Grafana dashboard's queries against a real prometheus, an agent and three simulated
# indicators, all inside a private network (see dashboard_queries_test.py).
# Usage: dashboard_queries_test.sh BUILD_DIR SOURCE_DIR. Exits 77 (skipped) without root or
# without prometheus.
set -u
build=$1 source=$2
if ! command -v prometheus >/dev/null; then
  echo "prometheus is not installed (install-deps)"
  exit 77
fi
source "$source/tests/net/netns.sh"
tv_net_up || exit 77
tv_add_device_addresses 3 || exit 1
tv_in_client /usr/bin/python3 "$source/tests/agent/dashboard_queries_test.py" "$build" "$source"
