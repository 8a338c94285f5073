#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# The packages as a Debian user meets them, run inside a Debian system that
# systemd booted (scripts/test-packages.sh starts it with systemd-nspawn -b,
# with no network but its own loopback). The new packages are in /test/debs,
# the sample PDF in /test. Each step is one argument:
#
#   fresh    apt-get install the packages (their dependencies are there
#            already, from the archive), the service started by systemd,
#            print through a CUPS queue and through the service, a missing
#            spool, remove, reinstall, an administrator's folder modes kept,
#            purge, and the system as it was before
#   before-upgrade   with the previous packages installed: a CUPS queue with
#            their PPD and options, a printer in the service with a setting
#   upgrade  apt upgrade from a repository of the new packages (/test/repo):
#            the driver's new package brought in by the transitional one,
#            the queue's PPD refreshed with its options kept, the service's
#            printers and settings kept, both print
set -eu

app=tarnwel-printer-app
driver=printer-driver-tarnwel
user=tarnwel-app
state=/var/lib/tarnwel-printer-app
spool=/var/spool/tarnwel-printer-app
printer=/srv/printer
export DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8
apt_opts="-y -q -o Dpkg::Use-Pty=0"

step() { printf '\n-- %s\n' "$*"; }
fail() {
	echo "in-container: FAIL: $*" >&2
	journalctl -b --no-pager -n 40 -u "$app" -u cups >&2 || true
	exit 1
}
# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
	seconds=$1
	shift
	end=$(($(date +%s) + seconds))
	until "$@"; do
		[ "$(date +%s)" -lt "$end" ] || return 1
		sleep 0.2
	done
}
# A subcommand of the printer application, run the way an administrator
# runs one on the server: as the service's user, with its runtime folder.
as_app() {
	setpriv --reuid="$user" --regid="$user" --init-groups \
		env -i PATH=/usr/bin:/bin HOME="$state" TMPDIR=/run/tarnwel-printer-app "$app" "$@"
}
mode_of() { stat -c '%U %G %a' "$1"; }
service_ready() {
	systemctl is-active --quiet "$app" &&
		as_app printers >/dev/null 2>&1
}

# A socket listener standing in for the printer: each job in a file of its
# own, named when it is complete.
start_listener() {
	mkdir -p "$printer"
	# (In a script of its own: systemd-run would expand its $ words.)
	cat >/srv/save-job <<-EOF
		#!/bin/sh
		f=\$(mktemp $printer/.job.XXXXXX)
		cat >"\$f"
		mv "\$f" "$printer/job-\${f##*.}.prn"
	EOF
	chmod 755 /srv/save-job
	systemd-run --unit=printer-listener --quiet \
		socat TCP-LISTEN:9100,bind=127.0.0.1,reuseaddr,fork EXEC:/srv/save-job
	wait_for 10 systemctl is-active --quiet printer-listener || fail "the listener does not run"
}
jobs_done() { find "$printer" -name '*.prn' | wc -l; }
# Waits for job number $1 at the listener and decodes it into $decoded.
decode_job() {
	n=$1
	wait_for 180 sh -c "[ \$(find $printer -name '*.prn' | wc -l) -ge $n ]" ||
		fail "job $n did not reach the printer"
	stream=$(ls -t "$printer"/*.prn | head -n 1)
	decoded=$(tarnwel-decode "$stream") || fail "tarnwel-decode $stream"
	echo "$decoded" | grep -E '^(Density|Paper weight|Duplex|Pages in stream order):'
}
expect() { echo "$decoded" | grep -qx "$1" || fail "$2: no \"$1\""; }

print_cups() {
	n=$(($(jobs_done) + 1))
	lp -d tw -o Duplex=DuplexNoTumble -o PaperWeight=MediumHeavy /test/sample.pdf >/dev/null ||
		fail "lp"
	decode_job $n
	expect 'Density: Dark (code 0)' "the queue's density"
	expect 'Paper weight: MediumHeavy (code 2)' "the job's paper weight"
	expect 'Duplex: long edge (DuplexNoTumble)' "two-sided printing"
	# Three pages, two-sided: a blank fourth completes the last sheet.
	expect 'Pages in stream order: 4' "the sample's pages"
	echo "CUPS printed through the installed filter and PPD"
}
print_app() {
	n=$(($(jobs_done) + 1))
	as_app submit -d office -o sides=two-sided-long-edge -o media-type=cardstock /test/sample.pdf >/dev/null ||
		fail "submitting to the service"
	decode_job $n
	expect 'Density: Dark (code 0)' "the printer's darkness setting"
	expect 'Paper weight: VeryHeavy (code 0)' "card stock"
	expect 'Duplex: long edge (DuplexNoTumble)' "two-sided printing"
	expect 'Pages in stream order: 4' "the sample's pages"
	echo "the service printed"
}

# The service runs as its user, its folders are its own with mode $1.
check_service() {
	wait_for 60 service_ready || fail "the service is not running ($(systemctl is-active "$app"))"
	pid=$(systemctl show -p MainPID --value "$app")
	[ "$(stat -c %U /proc/"$pid")" = "$user" ] || fail "the service does not run as $user"
	[ "$(mode_of "$state")" = "$user $user $1" ] || fail "$state is $(mode_of "$state"), not $user $user $1"
	[ "$(mode_of "$spool")" = "$user $user $1" ] || fail "$spool is $(mode_of "$spool"), not $user $user $1"
	echo "$app: active, as $user; $state and $spool: $user $user $1"
}

# The system, without what apt, systemd and the servers change on their own
# (colord keeps a database of the printers CUPS has had).
snapshot() {
	{
		find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /run -o -path /tmp \
			-o -path /var/tmp -o -path /var/log -o -path /var/cache -o -path /var/lib/apt \
			-o -path /var/lib/systemd -o -path /var/lib/colord -o -path /etc/colord -o -path /var/spool/cups -o -path /var/lib/dpkg/triggers \
			-o -path /var/lib/dpkg/updates -o -path /srv -o -path /test -o -path /root \
			-o -path /etc/cups/ppd \) -prune -o -print
		getent passwd | cut -d: -f1 | sed 's/^/user: /'
		getent group | cut -d: -f1 | sed 's/^/group: /'
	} | grep -vE '^/etc/cups/(printers|classes|subscriptions)\.conf(\.O)?$|^/var/lib/dpkg/[^/]*-old$|^/var/lib/dpkg/lock' |
		sort
}

install_new() {
	apt-get -s $apt_opts install /test/debs/*.deb >/tmp/apt-sim.txt 2>&1 ||
		{ cat /tmp/apt-sim.txt; fail "apt-get cannot install the packages"; }
	extra=$(awk '$1 == "Inst" { print $2 }' /tmp/apt-sim.txt | grep -vxE "$driver|$app" || true)
	[ -z "$extra" ] || fail "the packages need more than their dependencies: $extra"
	apt-get $apt_opts install /test/debs/*.deb >/tmp/apt.txt 2>&1 ||
		{ cat /tmp/apt.txt; fail "apt-get install"; }
	grep -E 'PPD for printer|Updating PPD' /tmp/apt.txt || true
}

make_queue() {
	wait_for 30 sh -c 'lpstat -r | grep -q "is running"' || fail "cupsd does not run"
	lpinfo -m | grep -E '^tarnwel/' || fail "lpinfo -m lists no tarnwel model"
	lpadmin -p tw -E -v socket://127.0.0.1:9100 -m tarnwel/tnml20.ppd -o PrintDensity=Dark ||
		fail "lpadmin -m tarnwel/tnml20.ppd"
}

case $1 in
fresh)
	start_listener
	snapshot >/tmp/before.txt
	step "apt-get install ./printer-driver-tarnwel ./tarnwel-printer-app"
	install_new
	check_service 700
	[ -f /usr/share/cups/ppd-updaters/$driver.ppd-updater ] || fail "no ppd-updater"
	step "CUPS"
	make_queue
	print_cups
	step "The service"
	as_app add -d office -m tnml20 -v socket://127.0.0.1:9100 || fail "adding a printer"
	as_app modify -d office -o print-darkness=100 || fail "setting the printer's darkness"
	print_app

	step "The spool removed, the service restarted"
	rm -rf "$spool"
	systemctl restart "$app" || fail "systemctl restart without a spool"
	check_service 700
	print_app

	step "apt-get remove"
	apt-get $apt_opts remove "$app" "$driver" >/tmp/apt.txt 2>&1 || { cat /tmp/apt.txt; fail "apt-get remove"; }
	! systemctl is-active --quiet "$app" || fail "the service still runs after remove"
	[ ! -L /etc/systemd/system/$app.service ] || fail "remove left /etc/systemd/system/$app.service -> $(readlink /etc/systemd/system/$app.service)"
	[ -d "$state" ] || fail "remove took the printers' state"
	[ -f /etc/default/$app ] || fail "remove took /etc/default/$app"
	echo "stopped, not masked; state and settings kept"

	step "Reinstalled"
	install_new
	check_service 700
	as_app printers | grep -qx office || fail "the printer was lost on remove and reinstall"
	print_app

	step "Configuring leaves the folders' owner and mode alone"
	systemctl stop "$app"
	chmod 0750 "$state" "$spool"
	# Masked for the moment, so that the script cannot restart the service
	# (which sets the modes of its unit).
	systemctl mask --runtime --quiet "$app"
	/var/lib/dpkg/info/$app.postinst configure "$(dpkg-query -W -f='${Version}' "$app")" >/dev/null 2>&1 || true
	systemctl unmask --runtime --quiet "$app"
	[ "$(mode_of "$state")" = "$user $user 750" ] || fail "configure changed $state to $(mode_of "$state")"
	[ "$(mode_of "$spool")" = "$user $user 750" ] || fail "configure changed $spool to $(mode_of "$spool")"
	echo "$state: $(mode_of "$state"), $spool: $(mode_of "$spool"), as before configure"
	# Started, the service keeps the spool's mode; systemd gives the state
	# the unit's mode, which an administrator sets with StateDirectoryMode=.
	mkdir -p /etc/systemd/system/$app.service.d
	printf '[Service]\nStateDirectoryMode=0750\n' >/etc/systemd/system/$app.service.d/mode.conf
	systemctl daemon-reload
	systemctl start "$app"
	check_service 750
	rm -r /etc/systemd/system/$app.service.d
	systemctl daemon-reload

	step "apt-get purge"
	lpadmin -x tw
	apt-get $apt_opts purge "$app" "$driver" >/tmp/apt.txt 2>&1 || { cat /tmp/apt.txt; fail "apt-get purge"; }
	snapshot >/tmp/after.txt
	if ! diff /tmp/before.txt /tmp/after.txt >/tmp/diff.txt; then
		grep -E '^[<>]' /tmp/diff.txt
		fail "the system after purge differs from the system before"
	fi
	echo "nothing of the packages left; the system is as before"
	;;
before-upgrade)
	start_listener
	wait_for 60 sh -c "systemctl is-active --quiet $app" || fail "the previous service does not run"
	dpkg-query -W tarnwel-printer-driver "$app"
	make_queue
	grep '^\*FileVersion:' /etc/cups/ppd/tw.ppd
	wait_for 60 service_ready || fail "the previous service does not answer"
	as_app add -d office -m tnml20 -v socket://127.0.0.1:9100 || fail "adding a printer to the previous service"
	as_app modify -d office -o print-darkness=100 || fail "setting the printer's darkness"
	as_app printers
	;;
upgrade)
	old_ppd_version=$(sed -n 's/^\*FileVersion: "\(.*\)"/\1/p' /etc/cups/ppd/tw.ppd)
	step "apt upgrade, the new packages in a repository"
	echo "deb [trusted=yes] file:/test/repo ./" >/etc/apt/sources.list.d/tarnwel.list
	# Only this repository: the system has no network.
	apt-get update -q -o Dir::Etc::sourcelist=sources.list.d/tarnwel.list \
		-o Dir::Etc::sourceparts=- -o APT::Get::List-Cleanup=0 >/tmp/apt.txt 2>&1 ||
		{ cat /tmp/apt.txt; fail "apt-get update"; }
	apt $apt_opts upgrade >/tmp/apt.txt 2>&1 || { cat /tmp/apt.txt; fail "apt upgrade"; }
	grep -E 'PPD for printer|Updating PPD' /tmp/apt.txt || true
	rm /etc/apt/sources.list.d/tarnwel.list
	dpkg-query -W -f='${db:Status-Abbrev} ${Package} ${Version}\n' tarnwel-printer-driver "$driver" "$app"
	for p in tarnwel-printer-driver "$driver" "$app"; do
		[ "$(dpkg-query -W -f='${Status} ${Version}' "$p" 2>/dev/null)" = "install ok installed $(dpkg-query -W -f='${Version}' "$app")" ] ||
			fail "$p is not at the new version after apt upgrade"
	done
	[ "$(dpkg-query -W -f='${Version}' "$app")" != 0.1.0 ] || fail "apt upgrade kept $app 0.1.0"
	new_version=$(sed -n 's/^\*FileVersion: "\(.*\)"/\1/p' /usr/share/cups/model/tarnwel/tnml20.ppd)
	queue_version=$(sed -n 's/^\*FileVersion: "\(.*\)"/\1/p' /etc/cups/ppd/tw.ppd)
	echo "queue tw: PPD version $old_ppd_version before, $queue_version after (installed: $new_version)"
	[ "$queue_version" = "$new_version" ] && [ "$queue_version" != "$old_ppd_version" ] ||
		fail "the queue kept its old PPD"
	grep -qx '\*DefaultPrintDensity: Dark' /etc/cups/ppd/tw.ppd || fail "the queue lost its density"
	wait_for 60 service_ready || fail "the service does not run after the upgrade"
	as_app printers | grep -qx office || fail "the upgrade lost the printer"
	print_cups
	print_app
	;;
*)
	echo "usage: in-container.sh fresh|before-upgrade|upgrade" >&2
	exit 2
	;;
esac
