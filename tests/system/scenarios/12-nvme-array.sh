# The vdisk name read in band from the simulated Keldor array over NVMe/TCP (keldor_nvme_sim),
# under dm-multipath: the host connects over both listeners (two controllers, two paths per
# namespace), query reads vendor log page 0xC0 through /dev/dm-N and remembers the name, a
# rename on the array shows in the next query, an array without the page or refusing it gives
# the stored name, and so does one that never answers (the host then resets that controller
# and connects again). Data written through the map reaches the namespace's file; an ANA state
# set on a listener reaches the host (AER, ANA log) and multipath's path priorities.

# deadline: 600

STORE=/dumps/storage_config.json
CAP=$SYSTEST_OUT/captures
mkdir -p "$CAP"

say "the simulated NVMe array comes up on ${NVSIM_ADDRS[*]}"
if ! run nvsim_up; then
    fail "the simulated NVMe array comes up" "nvsim_up succeeds" "$(cat "$NVSIM_STATE.log" 2>&1)"
    return 0
fi
wait_for "$NVSIM_A has two ready paths" 120 map_count_ready "$NVSIM_A_WWID" 2
wait_for "$NVSIM_B has two ready paths" 60 map_count_ready "$NVSIM_B_WWID" 2
expect_eq "one controller per listener" "1
2" "$(awk '{ print $2 }' "$NVSIM_STATE/controllers" | sort)"
A=$(map_name "$NVSIM_A_WWID") B=$(map_name "$NVSIM_B_WWID")
note "NVMe LUNs: $A ($NVSIM_A_WWID) $B ($NVSIM_B_WWID)"
multipath -ll "$NVSIM_A_WWID" >"$CAP/multipath-ll-nvme-sim.out" 2>&1
multipath -ll "$NVSIM_B_WWID" >>"$CAP/multipath-ll-nvme-sim.out" 2>&1
nvme list-subsys -o json >"$CAP/nvme-list-subsys-nvme-sim.json" 2>&1
note "$(cat "$CAP/multipath-ll-nvme-sim.out")"
expect_match "multipath shows the namespace as NVME,KELDORZRN" "^$A \($NVSIM_A_WWID\) dm-[0-9]+ NVME,KELDORZRN" \
    "$(cat "$CAP/multipath-ll-nvme-sim.out")"

# count_is NS KIND OP N: the simulator's count compares to N by OP; it writes its counters just
# after the answer, so expect_count polls a little.
count_is() { local n; n=$(nvsim_count "$1" "$2"); echo "$2 of $1: $n"; ((n $3 $4)); }
expect_count() { # expect_count WHAT NS KIND OP N
    if poll 5 count_is "$2" "$3" "$4" "$5"; then pass "$1"; else fail "$1" "$3 $4 $5" "$WAITED"; fi
}
store_text() {
    printf '{\n\t"disk":\t[{\n\t\t\t"wwid":\t"%s",\n\t\t\t"vdisk_name":\t"%s"\n\t\t}, {\n\t\t\t"wwid":\t"%s",\n\t\t\t"vdisk_name":\t"%s"\n\t\t}]\n}' \
        "$NVSIM_A_WWID" "$1" "$NVSIM_B_WWID" "$2"
}

say "query reads each vdisk name from log page 0xC0 and remembers it"
rm -f "$STORE"
c0=$(nvsim_count "$NVSIM_A" log_c0)
query_name "query $A succeeds, the array's name shown" "$A" "$NVSIM_A_NAME"
printf '%s\n' "$OUT" >"$CAP/morvel-query-nvme-sim.out"
expect_match "its transport is NVMe" '^host_interface: fc-nvme$' "$OUT"
expect_match "with its vendor and product" '^product_type: KELDORZRN$' "$OUT"
expect_no_match "the log has no in-band failure" 'C0 [Pp]age|unable to get vdisk name' "$LOG"
expect_count "the array was asked for page 0xC0 of $A once" "$NVSIM_A" log_c0 == $((c0 + 1))
query_name "query $B succeeds, the array's name shown" "$B" "$NVSIM_B_NAME"
expect_eq "the store holds both names" "$(store_text "$NVSIM_A_NAME" "$NVSIM_B_NAME")" "$(cat "$STORE")"

say "the vdisk of $A is renamed on the array"
nvsim_set "$NVSIM_A" vdisk_name vd_nv_renamed
query_name "query $A succeeds, the new name shown" "$A" vd_nv_renamed
expect_match "the change is logged" \
    "device \($NVSIM_A_WWID\), vdisk name change from \($NVSIM_A_NAME\) to \(vd_nv_renamed\)\.$" "$LOG"
expect_eq "the store holds the new name in place" "$(store_text vd_nv_renamed "$NVSIM_B_NAME")" "$(cat "$STORE")"

for mode in refuse 0; do
    say "the array answers page 0xC0 with an error (page_c0 $mode)"
    nvsim_set "$NVSIM_A" page_c0 "$mode"
    nvsim_set "$NVSIM_A" vdisk_name vd_nv_unseen
    c0=$(nvsim_count "$NVSIM_A" log_c0)
    query_name "query $A succeeds, the stored name shown" "$A" vd_nv_renamed
    expect_match "the log says the log page could not be read" 'Get FC-NVMe C0 Page failed\.$' "$LOG"
    expect_match "and that the name comes from the store" \
        "Devcie \($NVSIM_A_WWID\), unable to get vdisk name using in-band channel, we try to get vdisk name from file\." "$LOG"
    expect_count "the array was asked once and refused" "$NVSIM_A" log_c0 == $((c0 + 1))
done
expect_eq "the store is unchanged" "$(store_text vd_nv_renamed "$NVSIM_B_NAME")" "$(cat "$STORE")"
nvsim_set "$NVSIM_A" page_c0 1
query_name "with page 0xC0 answered again, query $A reads it in band" "$A" vd_nv_unseen

say "the array answers page 0xC0 after 300 ms"
nvsim_set "$NVSIM_B" latency_ms 300
held=$(nvsim_count "$NVSIM_B" c0_held)
query_name "query $B succeeds, the array's name shown" "$B" "$NVSIM_B_NAME"
expect_count "the answer was held back" "$NVSIM_B" c0_held == $((held + 1))
nvsim_set "$NVSIM_B" latency_ms 0

say "data written through the map reaches the namespace"
dm=/dev/$(map_dm "$NVSIM_A_WWID")
head -c 262144 /dev/urandom >/tmp/nvsim.data
run dd if=/tmp/nvsim.data of="$dm" bs=64k seek=16 oflag=direct conv=fsync status=none
dd if="$dm" of=/tmp/nvsim.back bs=64k skip=16 count=4 iflag=direct status=none
expect_eq "256 KiB read back through $dm" "$(md5sum </tmp/nvsim.data)" "$(md5sum </tmp/nvsim.back)"
expect_eq "and in the file behind the namespace" "$(md5sum </tmp/nvsim.data)" \
    "$(dd if="/run/$NVSIM_A.img" bs=64k skip=16 count=4 status=none | md5sum)"
expect_count "the writes went through R2T and H2CData (more than 8 KiB each)" "$NVSIM_A" writes '>=' 2

say "listener 2 turns ANA inaccessible"
# prios WWID: "dev prio" of each path of the LUN
prios() { multipathd show paths raw format "%d %w %p" | awk -v w="$1" '$2 == w { print $1, $3 }' | sort; }
prio_of() { # prio_of WWID ADDR: the priority of the LUN's path through the controller at ADDR
    local d
    for d in $(map_paths "$1"); do
        grep -q "^traddr=$2," "/sys/block/$d/device/address" && prios "$1" | awk -v d="$d" '$1 == d { print $2 }'
    done
}
expect_eq "multipath rates both paths by ANA state (optimized: 50)" "50 50" \
    "$(prio_of "$NVSIM_A_WWID" "${NVSIM_ADDRS[0]}") $(prio_of "$NVSIM_A_WWID" "${NVSIM_ADDRS[1]}")"
events=$(nvsim_count . events)
nvsim_set port2 ana_state inaccessible
expect_count "the host's held AER is completed with the ANA change notice" . events == $((events + 1))
low() { local p; p=$(prio_of "$NVSIM_A_WWID" "${NVSIM_ADDRS[1]}"); echo "prio $p"; [[ -n "$p" && "$p" -lt 50 ]]; }
wait_for "multipath lowers the path through listener 2" 60 low
multipath -ll "$NVSIM_A_WWID" >"$CAP/multipath-ll-nvme-sim-ana-inaccessible.out" 2>&1
note "$(cat "$CAP/multipath-ll-nvme-sim-ana-inaccessible.out")"
dd if="$dm" of=/tmp/nvsim.back bs=64k skip=16 count=4 iflag=direct status=none
expect_eq "reads through the map still succeed" "$(md5sum </tmp/nvsim.data)" "$(md5sum </tmp/nvsim.back)"
nvsim_set port2 ana_state optimized
up() { local p; p=$(prio_of "$NVSIM_A_WWID" "${NVSIM_ADDRS[1]}"); echo "prio $p"; [[ "$p" == 50 ]]; }
wait_for "back to optimized, the path is rated 50 again" 60 up
wait_for "$NVSIM_A has two ready paths" 60 map_count_ready "$NVSIM_A_WWID" 2

say "the array never answers page 0xC0 of $B"
connects=$(nvsim_count . admin_connects)
nvsim_set "$NVSIM_B" hang 1
query_name "query $B succeeds within its bound, the stored name shown" "$B" "$NVSIM_B_NAME"
expect_match "the log says its read timed out" "Device \($NVSIM_B_WWID\), the in-band read of the vdisk name timed out" "$LOG"
# the host gives up on the admin command after its 5 s limit and resets the controller; the
# page stays unanswered until then (answered earlier, the command would end without a reset)
reconnected() { local n; n=$(nvsim_count . admin_connects); echo "admin connects $n"; ((n > connects)); }
wait_for "the host connects a new controller" 90 reconnected
nvsim_set "$NVSIM_B" hang 0
wait_for "$NVSIM_B has two ready paths again" 120 map_count_ready "$NVSIM_B_WWID" 2
query_name "query $B reads the name in band again" "$B" "$NVSIM_B_NAME"

say "the simulated NVMe array goes away"
run nvsim_down
gone() { [[ -z "$(map_name "$NVSIM_A_WWID")$(map_name "$NVSIM_B_WWID")" ]]; }
wait_for "its maps are gone" 60 gone
rm -f "$STORE"
