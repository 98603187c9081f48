#!/usr/bin/env bash
# Starts the local servers the tests talk to, for the shell that sources this file:
#   - an SMTP server (aiosmtpd, Mailbox handler) on 127.0.0.1, for mail delivery;
#   - rsyslogd writing /var/log/syslog, when running as root and no syslog daemon runs yet.
# Exports TONEWELL_TEST_SMTP_PORT and TONEWELL_TEST_SMTP_MAILDIR; stop_test_services stops what
# was started here.

TONEWELL_SERVICES_DIR="$(mktemp -d /tmp/tonewell-services-XXXXXX)"
TONEWELL_STARTED_PIDS=()

wait_for_port() {  # port, tries of 0.1 s
  local port=$1 tries=$2
  for ((i = 0; i < tries; i++)); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

start_smtp() {
  local port
  port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  # The Mailbox handler makes the maildir (tmp, new, cur) itself; it must not exist yet.
  /usr/bin/python3 -m aiosmtpd -n -l "127.0.0.1:$port" -c aiosmtpd.handlers.Mailbox \
    "$TONEWELL_SERVICES_DIR/maildir" >"$TONEWELL_SERVICES_DIR/smtp.log" 2>&1 &
  TONEWELL_STARTED_PIDS+=($!)
  if wait_for_port "$port" 100; then
    export TONEWELL_TEST_SMTP_PORT=$port
    export TONEWELL_TEST_SMTP_MAILDIR="$TONEWELL_SERVICES_DIR/maildir"
    echo "services: SMTP server on 127.0.0.1:$port"
  else
    echo "services: the SMTP server did not start; mail delivery tests will be skipped"
  fi
}

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

start_smtp
start_syslog
