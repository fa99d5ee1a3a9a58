# Shell functions for the scripts that set up a private panel host — a registry store, a run
# directory, a drive C:, a site — and its two reference services: the demo, the benchmarks and the
# package test. Source it.

# panel_registry FILE RUN_DIR DRIVE [LINE...]
# Writes the registry store: the run directory, C: mapped to DRIVE, the product data directory
# C:\data and the virtual hosts C:\vhosts. Each LINE is appended as it is (the product
# configuration's key is the last one open, so values there land in it).
panel_registry() {
  local file=$1 run=$2 drive=$3
  shift 3
  {
    cat <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]
"RunDirectory"="$run"

[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix\\DosDevices]
"C:"="$drive"

[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config]
"PRODUCT_DATA_D"="C:\\\\data"
"HTTPD_VHOSTS_D"="C:\\\\vhosts"
REG
    if (($#)); then printf '%s\n' "$@"; fi
  } >"$file"
}

# start_panel_service BIN_DIR PROGRAM REGISTRY RUN_DIR SOCKET LOG
# Starts a reference service on the run directory and waits for its socket <RUN_DIR>/pipe/SOCKET;
# its pid is left in panel_service_pid. Fails, showing the log, when it does not come up.
start_panel_service() {
  "$1/$2" --run-directory="$4" --registry="$3" 2>>"$6" &
  panel_service_pid=$!
  for _ in $(seq 100); do
    [ -S "$4/pipe/$5" ] && return 0
    kill -0 "$panel_service_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "$2 did not start:" >&2
  cat "$6" >&2
  return 1
}

# panel_site WORK PACKAGE APP USER
# Lays out a site host below WORK: drive C: (WORK/c) with the application repository
# C:\data\var\cgitory holding the package directory PACKAGE as APP, C:\php\php.exe (the host's
# PHP CLI) and the site C:\vhosts\demo.example\httpdocs of USER (an existing account with a group
# of its name). Leaves the paths in drive, repository, www_root and site (the application's
# directory, guestbook/ of the site), the tool's options for the application in site_options and
# its metadata file option in metadata.
panel_site() {
  local work=$1 package=$2 app=$3 user=$4
  drive=$work/c
  repository=$drive/data/var/cgitory
  www_root=$drive/vhosts/demo.example/httpdocs
  site=$www_root/guestbook
  mkdir -p "$repository" "$www_root" "$drive/php" &&
    chmod 755 "$work" && # site users must reach their sites, as below a real virtual-hosts directory
    cp -r "$package" "$repository/$app" &&
    ln -s "$(command -v php)" "$drive/php/php.exe" &&
    chown "$user:$user" "$www_root" || return 1
  site_options=(--application-full-name="$app" --www-root='C:\vhosts\demo.example\httpdocs'
                --user-name="$user" --application-subdirectory=guestbook)
  metadata="--metadata-file=C:\\data\\var\\cgitory\\$app\\APP-META.xml"
}

# Writes the request of the sample application's install script to FILE: the site directory, a
# database named after TAG (guestbook_TAG, user gb_TAG, password s3cret-TAG), an administrator's
# address and the guestbook's TITLE.
panel_script_request() {
  local file=$1 tag=$2 title=$3
  cat >"$file" <<XML
<fsa-run-application-script>
  <script-processor>php</script-processor>
  <environment>
    <variable name="site_dir" value="$site"/>
    <variable name="db_host" value="localhost"/>
    <variable name="db_name" value="guestbook_$tag"/>
    <variable name="db_user" value="gb_$tag"/>
    <variable name="db_password" value="s3cret-$tag"/>
    <variable name="admin_email" value="admin@$tag.example"/>
  </environment>
  <script-params>--title="$title"</script-params>
</fsa-run-application-script>
XML
}

# The socket names of the two services.
management_pipe=zrcpipe
impersonation_pipe="ZRC_pipe {110D2F0F-F073-4021-AB73-C7886FB9BD1E}"
