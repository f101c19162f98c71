"""The shipped Grafana dashboard's queries against a real Prometheus.

Grafana is not at hand, so this does what it would: every variable's, panel's and
annotation's query from data/grafana/tarovue.json, with the variables replaced as Grafana
replaces them, goes to the HTTP API of a prometheus that scrapes a tarovue-scan --serve agent
watching three simulated indicators, one of which has said byebye. No query may fail, and the
fleet panels must show numbers.

Runs inside the client namespace of a private network (dashboard_queries_test.sh builds it);
the simulators run in the devices namespace. Usage:
  dashboard_queries_test.py BUILD_DIR SOURCE_DIR
with TV_NS_DEVICES set and TV_ADDR_SPREAD the first of three device addresses.
"""

import json
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request

PROMETHEUS = "http://127.0.0.1:9090"
AGENT = "127.0.0.1:9731"
DEADLINE_S = 20

# Panels that show the fleet: with three indicators, one of them down, each must have a number.
FLEET_PANELS = {"Indicators by status", "Indicators up and down", "Indicators down now",
                "Description fetch duration", "Agents"}

# What Grafana puts for its own variables. The rate window spans the whole run, so the
# description fetches at its start are inside it.
BUILTINS = {"__rate_interval": "1m", "__interval": "15s", "__interval_ms": "15000",
            "__range": "1h", "__range_s": "3600", "__range_ms": "3600000"}

build_dir, source_dir = sys.argv[1], sys.argv[2]
# Straight to the prometheus beside us, whatever proxy the environment names.
http = urllib.request.build_opener(urllib.request.ProxyHandler({}))
failures = []
children = []


def fail(text):
    failures.append(text)
    print("FAIL:", text)


def api(path, **params):
    """The data of a Prometheus API answer, or raises with its error text."""
    url = PROMETHEUS + path + "?" + urllib.parse.urlencode(params, doseq=True)
    try:
        with http.open(url, timeout=10) as answer:
            body = json.load(answer)
    except urllib.error.HTTPError as error:
        # A prometheus still opening its storage answers 503 in plain text.
        try:
            body = json.load(error)
        except ValueError:
            raise RuntimeError(f"HTTP {error.code} without a JSON answer") from None
    if body.get("status") != "success":
        raise RuntimeError(f"{body.get('errorType')}: {body.get('error')}")
    return body["data"]


def query_value(promql):
    """The single number an instant query gives, or None."""
    try:
        result = api("/api/v1/query", query=promql)["result"]
    except (OSError, RuntimeError):
        return None
    return float(result[0]["value"][1]) if len(result) == 1 else None


def wait_for(what, check):
    end = time.monotonic() + DEADLINE_S
    while time.monotonic() < end:
        if check():
            return
        time.sleep(0.25)
    raise RuntimeError(f"timed out waiting for {what}")


def start(argv, log_name, netns=None):
    if netns:
        argv = ["ip", "netns", "exec", netns] + argv
    with open(os.path.join(scratch, log_name), "w") as log:
        child = subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT)
    children.append(child)
    return child


def regex_value(values):
    """A multi-value variable as Grafana writes it into a =~ matcher: escaped, alternated."""
    escaped = [re.sub(r"([\\^$.|?*+()\[\]{}])", r"\\\\\1", v) for v in values]
    return escaped[0] if len(escaped) == 1 else "(" + "|".join(escaped) + ")"


def substitute(text, variables):
    """text with $name, ${name} and [[name]] replaced; raises on a variable nobody defines."""
    def one(match):
        name = match.group(1) or match.group(2) or match.group(3)
        if name in variables:
            return variables[name]
        if name in BUILTINS:
            return BUILTINS[name]
        raise RuntimeError(f"unknown variable ${name}")
    return re.sub(r"\$(\w+)|\$\{(\w+)(?::\w+)?\}|\[\[(\w+)\]\]", one, text)


def variable_values(query):
    """What a variable's query offers, as Grafana's Prometheus source asks for it."""
    match = re.fullmatch(r"\s*label_values\((?:(.*),\s*)?(\w+)\)\s*", query)
    if not match:
        raise RuntimeError(f"a variable query Grafana would not run: {query}")
    params = {"match[]": match.group(1)} if match.group(1) else {}
    now = time.time()
    return api(f"/api/v1/label/{match.group(2)}/values", start=now - 3600, end=now, **params)


def has_number(result):
    for series in result:
        points = series.get("values") or [series.get("value")]
        if any(math.isfinite(float(p[1])) for p in points if p):
            return True
    return False


def run_target(where, expr, instant, variables, must_have_data):
    try:
        promql = substitute(expr, variables)
        if instant:
            result = api("/api/v1/query", query=promql)["result"]
        else:
            now = time.time()
            result = api("/api/v1/query_range", query=promql, start=now - 120, end=now,
                         step=2)["result"]
    except RuntimeError as error:
        fail(f"{where}: {error}\n    {expr}")
        return None
    if must_have_data and not has_number(result):
        fail(f"{where} shows no data: {len(result)} series\n    {promql}")
    else:
        print(f"ok   {where}: {len(result)} series")
    return result


def check_dashboard(dashboard):
    """Runs every query of the dashboard; returns the results of the down table's first."""
    inputs = [i["name"] for i in dashboard.get("__inputs", []) if i.get("type") == "datasource"]
    if inputs != ["DS_PROMETHEUS"]:
        fail(f"the data source inputs are {inputs}, not DS_PROMETHEUS")

    def uses_input(where, source):
        if (source or {}).get("uid") != "${DS_PROMETHEUS}":
            fail(f"{where} does not use the data source chosen at import: {source}")

    variables = {}
    for variable in dashboard["templating"]["list"]:
        where = f"variable {variable['name']}"
        uses_input(where, variable.get("datasource"))
        query = variable.get("query")
        query = query.get("query", "") if isinstance(query, dict) else query
        try:
            values = variable_values(substitute(query, variables))
        except RuntimeError as error:
            values = []
            fail(f"{where}: {error}")
        else:
            if values:
                print(f"ok   {where}: {values}")
            else:
                fail(f"{where} offers nothing")
        # "All", as the dashboard opens.
        variables[variable["name"]] = regex_value(values or ["none"])

    for annotation in dashboard["annotations"]["list"]:
        if "expr" in annotation:
            uses_input(f"annotation {annotation['name']}", annotation.get("datasource"))
            run_target(f"annotation {annotation['name']}", annotation["expr"], False, variables,
                       False)

    down_table = None
    panels = list(dashboard["panels"])
    panels += [inner for p in dashboard["panels"] for inner in p.get("panels", [])]
    for panel in panels:
        if panel["type"] == "row":
            continue
        uses_input(f"panel {panel['title']}", panel.get("datasource"))
        for target in panel.get("targets", []):
            where = f"{panel['title']} [{target['refId']}]"
            uses_input(where, target.get("datasource"))
            must = panel["title"] in FLEET_PANELS
            if target.get("range", True):
                run_target(where + " range", target["expr"], False, variables, must)
            if target.get("instant") or target.get("format") == "table":
                result = run_target(where + " instant", target["expr"], True, variables, must)
                if panel["title"] == "Indicators down now" and target["refId"] == "A":
                    down_table = result
    return down_table


scratch = tempfile.mkdtemp(prefix="tarovue-dashboard-")
try:
    with open(os.path.join(source_dir, "data/grafana/tarovue.json")) as f:
        dashboard = json.load(f)
    with open(os.path.join(scratch, "prometheus.yml"), "w") as f:
        f.write("global: {scrape_interval: 1s, evaluation_interval: 1s}\n"
                f"rule_files: ['{source_dir}/data/prometheus/tarovue.rules.yml']\n"
                "scrape_configs:\n"
                f"  - {{job_name: tarovue, static_configs: [{{targets: ['{AGENT}']}}]}}\n")
    start([f"{build_dir}/tarovue-scan", "--serve", AGENT, "--quiet", "--interval", "10"],
          "agent.log")
    start(["prometheus", f"--config.file={scratch}/prometheus.yml",
           f"--storage.tsdb.path={scratch}/data", "--web.listen-address=127.0.0.1:9090"],
          "prometheus.log")
    # The indicators come after the agent's first scrape, so that their description fetches
    # fall inside a rate window.
    wait_for("the first scrape of the agent", lambda: query_value('up{job="tarovue"}') == 1)
    # Each indicator on an address of its own, as on a plant's network.
    devices = os.environ["TV_NS_DEVICES"]
    sim = [f"{build_dir}/tarovue-sim", "--address"]
    start(sim + [os.environ["TV_ADDR_SPREAD"], "--spread", "--devices", "2"],
          "sim-staying.log", devices)
    unplugged_address = "10.232.0.4"  # the third of tv_add_device_addresses 3
    unplugged = start(sim + [unplugged_address, "--devices", "1", "--serial-base", "100",
                             "--host-name", "unplugged-{n}"], "sim-unplugged.log", devices)
    wait_for("three indicators up in prometheus",
             lambda: query_value("count(tarovue_device_up == 1)") == 3)
    unplugged.terminate()  # byebye
    unplugged.wait(10)
    wait_for("one indicator down in prometheus",
             lambda: query_value("count(tarovue_device_up == 0)") == 1)

    down = check_dashboard(dashboard)
    # The down table names the one unplugged, with the texts of its description.
    labels = [series["metric"] for series in down or []]
    if len(labels) != 1 or labels[0].get("address") != unplugged_address or \
            labels[0].get("hostname") != "unplugged-1" or \
            labels[0].get("serial_number") != "SIM000101":
        fail(f"the down table does not name the unplugged indicator alone: {labels}")
except Exception as error:  # a start-up that never came: say why, with the logs
    fail(f"{type(error).__name__}: {error}")
    for name in sorted(os.listdir(scratch)):
        if name.endswith(".log"):
            with open(os.path.join(scratch, name)) as log:
                print(f"--- {name}\n{log.read()[-3000:]}")
finally:
    for child in children:
        if child.poll() is None:
            child.terminate()
    for child in children:
        try:
            child.wait(10)
        except subprocess.TimeoutExpired:
            child.kill()
    shutil.rmtree(scratch, ignore_errors=True)

if failures:
    print(f"dashboard_queries_test: {len(failures)} failures")
    sys.exit(1)
print("dashboard_queries_test: every query ran, the fleet panels show data")
