#!/usr/bin/env python3
"""Replays scenarios with the native monitor and with the phone's own binary on the emulated CPU,
and drives the Settings pane both ways: the two must agree.

For each scenario the log lines (object addresses aside), the volume timeline, the camera's
intervals and the final state must be the same; for the pane, what each settings command prints
and its exit status. Prints one line per architecture:

  emulated replay: N/N scenarios agree (arm64)
  emulated pane: N/N commands agree (arm64)

and the first difference of any that does not. Exit status 1 when any disagrees.

  emulated_replay.py TONEWELL MONITOR_DYLIB PANE_BINARY ARCH SCENARIO...
(a SCENARIO is a file, or builtin:NAME)
"""
import http.server
import json
import os
import re
import ssl
import subprocess
import sys
import tempfile
import threading

ADDRESS = re.compile(r"0x[0-9a-fA-F]+")
MAIL_NAME = re.compile(r"\d{8}T\d{6}Z-[^ ]*\.eml")


def run(command, env=None, timeout=300):
    result = subprocess.run(command, capture_output=True, text=True, env=env, timeout=timeout)
    return result.returncode, result.stdout, result.stderr


def comparable(report):
    """What must agree between the two replays of one scenario."""
    return {
        "log": [(round(line["t"], 6), line["queue"], ADDRESS.sub("0x…", line["message"]))
                for line in report["log"]],
        "volume": [(round(v["t"], 6), v["category"], v["value"], v["by"]) for v in report["volume"]],
        "camera": [(round(c["t"], 6), c["event"], c.get("position")) for c in report["camera"]],
        "final": report["final"],
    }


def first_difference(native, emulated):
    for part in ("log", "volume", "camera"):
        a, b = native[part], emulated[part]
        for i in range(max(len(a), len(b))):
            left = a[i] if i < len(a) else "(nothing)"
            right = b[i] if i < len(b) else "(nothing)"
            if left != right:
                return f"{part} entry {i + 1}: native {left}, emulated {right}"
    for key in sorted(set(native["final"]) | set(emulated["final"])):
        if native["final"].get(key) != emulated["final"].get(key):
            return (f"final {key}: native {native['final'].get(key)}, "
                    f"emulated {emulated['final'].get(key)}")
    return None


def replay_args(scenario):
    if scenario.startswith("builtin:"):
        return ["run", "--builtin", scenario[len("builtin:"):]]
    return ["run", scenario]


def check_scenarios(tonewell, monitor, arch, scenarios, home):
    env = dict(os.environ, TONEWELL_HOME=home)
    agree, differences = 0, []
    for scenario in scenarios:
        base = [tonewell] + replay_args(scenario) + ["--json"]
        native = run(base, env)
        emulated = run(base + ["--phone-binary", monitor, "--arch", arch], env)
        if native[0] != 0 or emulated[0] != 0:
            if native[0] == emulated[0] and native[2] == emulated[2]:
                agree += 1  # refused alike (a scenario that cannot be read)
            else:
                differences.append(f"{scenario}: exit {native[0]} native, {emulated[0]} emulated: "
                                   f"{(emulated[2] or native[2]).strip()}")
            continue
        a, b = comparable(json.loads(native[1])), comparable(json.loads(emulated[1]))
        difference = first_difference(a, b)
        if difference is None:
            agree += 1
        else:
            differences.append(f"{scenario}: {difference}")
    print(f"emulated replay: {agree}/{len(scenarios)} scenarios agree ({arch})")
    for difference in differences[:10]:
        print(f"  {difference}")
    return agree == len(scenarios)


class Page(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = b"<html><head><title>My other tweaks</title></head><body>tweaks</body></html>"
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


PANE_COMMANDS = [
    [], ["--json"], ["get", "pocketBrightness"], ["set", "pocketBrightness", "-5"],
    ["get", "pocketBrightness", "--json"], ["set", "useFrontCamera", "back"],
    ["set", "increaseVolumeDelay", "99"], ["reset", "pocketBrightness"], ["reset", "--all"],
    ["tap", "followOnTwitter"], ["tap", "viewOtherApps", "--timeout", "5"],
    ["tap", "sendDebugLog"], ["tap", "sendDebugLog", "--mail", "send"],
    ["tap", "sendDebugLog", "--mail", "cancel"], ["tap", "sendDebugLog", "--no-mail-account"],
    ["tap", "noSuchButton"],
]


def https_server(scratch):
    """A page server on 127.0.0.1 for www.example.com, with a certificate of its own."""
    key, certificate = os.path.join(scratch, "key.pem"), os.path.join(scratch, "cert.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                    "/CN=www.example.com", "-addext", "subjectAltName=DNS:www.example.com",
                    "-keyout", key, "-out", certificate], check=True, capture_output=True)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Page)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certificate, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, certificate


def check_pane(tonewell, pane, arch):
    agree, differences = 0, []
    with tempfile.TemporaryDirectory() as scratch:
        server, certificate = https_server(scratch)
        log = os.path.join(scratch, "syslog")
        with open(log, "w") as f:
            f.write("".join(f"Dec  9 10:00:{i % 60:02d} iPhone SpringBoard[52] <Warning>: line {i}\n"
                            for i in range(5000)))
        outputs = {}
        for way, extra in (("native", []), ("emulated", ["--phone-binary", pane, "--arch", arch])):
            home = os.path.join(scratch, way)
            os.makedirs(home)
            env = dict(os.environ, TONEWELL_HOME=home, TONEWELL_SYSLOG_FILE=log,
                       TONEWELL_CA_FILE=certificate,
                       TONEWELL_ROUTE=f"www.example.com:443=127.0.0.1:{server.server_port}")
            env.pop("TONEWELL_SMTP_URL", None)
            outputs[way] = []
            for command in PANE_COMMANDS:
                status, out, err = run([tonewell, "settings"] + extra + command, env)
                text = (out + err).replace(home, "HOME")
                outputs[way].append((status, MAIL_NAME.sub("MAIL", text)))
        if os.environ.get("TONEWELL_SHOW_PANE"):
            for command, (status, text) in zip(PANE_COMMANDS, outputs["emulated"]):
                print(f"$ tonewell settings {' '.join(command)}  (exit {status})\n{text}")
        for command, a, b in zip(PANE_COMMANDS, outputs["native"], outputs["emulated"]):
            if a == b:
                agree += 1
            else:
                differences.append(f"settings {' '.join(command)}: native (exit {a[0]}) "
                                   f"{a[1].strip()!r}, emulated (exit {b[0]}) {b[1].strip()!r}")
        server.shutdown()
    print(f"emulated pane: {agree}/{len(PANE_COMMANDS)} commands agree ({arch})")
    for difference in differences[:10]:
        print(f"  {difference}")
    return agree == len(PANE_COMMANDS)


def main():
    if len(sys.argv) < 6:
        print(__doc__, file=sys.stderr)
        return 2
    tonewell, monitor, pane, arch = sys.argv[1:5]
    scenarios = sys.argv[5:]
    with tempfile.TemporaryDirectory() as home:
        replayed = check_scenarios(tonewell, monitor, arch, scenarios, home)
    paned = check_pane(tonewell, pane, arch)
    return 0 if replayed and paned else 1


if __name__ == "__main__":
    sys.exit(main())
