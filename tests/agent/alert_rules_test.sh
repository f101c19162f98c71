#!/bin/bash
# The shipped alert rules as Prometheus reads them, and their unit tests: every alert has a
# case that fires and one that does not.
# Usage: alert_rules_test.sh SOURCE_DIR. Exits 77 (skipped) without promtool.
set -u
rules=$1/data/prometheus
if ! command -v promtool >/dev/null; then
  echo "promtool is not installed (install-deps)"
  exit 77
fi
promtool check rules "$rules/tarovue.rules.yml" &&
  promtool test rules "$rules/tests/tarovue.rules.test.yml"
