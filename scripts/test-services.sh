#!/usr/bin/env bash
# Starts the local service the tests talk to, for the shell that sources this file: rsyslogd
# writing /var/log/syslog, when running as root and no syslog daemon runs yet. (The mail tests
# start their own SMTP server on 127.0.0.1, tests/local_smtp_server.h.) stop_test_services stops
# what was started here.

TONEWELL_SERVICES_DIR="$(mktemp -d /tmp/tonewell-services-XXXXXX)"
TONEWELL_STARTED_PIDS=()

start_syslog() {
  if pgrep -x rsyslogd >/dev/null 2>&1 || pgrep -x syslogd >/dev/null 2>&1; then
    echo "services: a syslog daemon is already running"
    return
  fi
  if [ "$(id -u)" -ne 0 ] || ! command -v rsyslogd >/dev/null; then
    echo "services: no syslog daemon (needs root and rsyslog); the system-log test will be skipped"
    return
  fi
  cat >"$TONEWELL_SERVICES_DIR/rsyslog.conf" <<'CONF'
# Keep the senders' time stamps: tonewell stamps its lines with the replay's clock.
module(load="imuxsock" SysSock.IgnoreTimestamp="off" SysSock.UseSysTimeStamp="off")
*.* action(type="omfile" file="/var/log/syslog")
CONF
  touch /var/log/syslog
  rsyslogd -f "$TONEWELL_SERVICES_DIR/rsyslog.conf" -i "$TONEWELL_SERVICES_DIR/rsyslogd.pid"
  for ((i = 0; i < 50; i++)); do
    [ -s "$TONEWELL_SERVICES_DIR/rsyslogd.pid" ] && [ -S /dev/log ] && break
    sleep 0.1
  done
  if [ -s "$TONEWELL_SERVICES_DIR/rsyslogd.pid" ]; then
    TONEWELL_STARTED_PIDS+=("$(cat "$TONEWELL_SERVICES_DIR/rsyslogd.pid")")
    echo "services: rsyslogd writing /var/log/syslog"
  fi
}

stop_test_services() {
  for pid in "${TONEWELL_STARTED_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$TONEWELL_SERVICES_DIR"
}

start_syslog
