# status, start, stop and restart against the real multipathd.service under systemd.
# morvel stop also stops multipathd.socket, so a later multipath or multipathd call does not
# start the daemon again; morvel start starts the socket again.

state() { local s; s=$(systemctl is-active multipathd.service 2>&1); echo "$s"; [[ "$s" == "$1" ]]; }
pid() { systemctl show -p MainPID --value multipathd.service; }
status_text() { printf '%s\nService status: %s\n%s' "$FRAME" "$1" "$FRAME"; }

say "status of the running service"
expect_mor "status succeeds" 0 status
expect_eq "it says active" "$(status_text active)" "$OUT"

say "stop"
expect_mor "stop succeeds" 0 stop
expect_eq "it reports success" "$OK_TEXT" "$OUT"
wait_for "systemd has stopped multipathd" 60 state inactive
multipath -ll >/dev/null 2>&1 || true
multipathd show daemon >/dev/null 2>&1 || true
sleep 2
expect_eq "multipath and multipathd calls do not bring the stopped daemon back" inactive \
    "$(systemctl is-active multipathd.service 2>&1)"
expect_mor "status succeeds" 0 status
expect_eq "it says inactive" "$(status_text inactive)" "$OUT"

say "setpathpolicy while the service is stopped"
expect_mor "setpathpolicy succeeds" 0 setpathpolicy -chooser round-robin
expect_eq "and prints nothing" "" "$OUT"
expect_match "the file has the new chooser" '^        path_selector          "round-robin 0"$' \
    "$(sed -n '/^#keldor config begin$/,/^#keldor config end$/p' /etc/multipath.conf)"
expect_eq "the service was not started" inactive "$(systemctl is-active multipathd.service 2>&1)"

say "start"
expect_mor "start succeeds" 0 start
wait_for "systemd runs multipathd" 60 state active
expect_eq "the socket listens again" active "$(systemctl is-active multipathd.socket 2>&1)"
expect_mor "status succeeds" 0 status
expect_eq "it says active" "$(status_text active)" "$OUT"
rr() {
    local g
    g=$(multipath -ll "$ISCSI_WWID" 2>/dev/null | grep -o "policy='[^']*'")
    echo "$g"
    [[ -n "$g" && -z "$(grep -v "^policy='round-robin 0'\$" <<<"$g")" ]]
}
wait_for "the started daemon uses the chooser set while it was stopped" 60 rr

say "restart of the running service reloads it"
before=$(pid)
expect_mor "restart succeeds" 0 restart
expect_eq "it reports success" "$OK_TEXT" "$OUT"
sleep 2
expect_eq "the daemon was reloaded, not replaced (same main PID)" "$before" "$(pid)"
expect_match "systemd ran the reload" 'multipathd reconfigure' \
    "$(systemctl status multipathd.service 2>&1 | grep ExecReload)"

say "restart of the stopped service starts it"
expect_mor "stop succeeds" 0 stop
wait_for "systemd has stopped multipathd" 60 state inactive
expect_mor "restart succeeds" 0 restart
wait_for "systemd runs multipathd again" 60 state active
expect_eq "with a new main PID" yes "$([[ "$(pid)" != "$before" && "$(pid)" != 0 ]] && echo yes || echo "no: $(pid)")"
wait_for "the maps are back" 60 map_count_ready "$ISCSI_WWID" 2
expect_mor "the chooser goes back to service-time" 0 setpathpolicy -chooser service-time

say "version"
expect_mor "version succeeds" 0 version
expect_match "it names the product" '^Software name: Morvel$' "$OUT"
expect_match "and its version" '^Version: 3\.3\.2$' "$OUT"
