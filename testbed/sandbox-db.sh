# Sourced by testbed/sandbox: brings up the sandbox's system database.
# Uses $dir, $here, $db_socket and $db_password of the caller; sets
# sandbox_db_exports to the export lines the sandbox needs beyond HVX_ROOT.
#
# Without a socket a private server is started in $dir/var/mysql whose socket
# is $dir/var/lib/mysql/mysql.sock, where the tools look for it under
# HVX_ROOT; the database has the default name "hvx". With a socket, that
# socket is linked into the same place and a database of a fresh unique name
# is created on the server behind it.
sandbox_random() {  # sandbox_random NBYTES: lower-case hex
  od -An -vtx1 -N"$1" /dev/urandom | tr -d ' \n'
}

sandbox_write_password() {
  local shadow=$dir/etc/hvx/.hvx.shadow
  (umask 077 && printf '%s' "$1" > "$shadow")
}

sandbox_db_up() {
  local link=$dir/var/lib/mysql/mysql.sock name
  mkdir -p "$dir/var/lib/mysql" "$dir/var/sandbox"
  if [ -z "${db_socket:-}" ]; then
    local password
    password=$(sandbox_random 16)
    "$here/mariadb-server" start "$dir/var/mysql" "$link" "$password" >&2
    : > "$dir/var/sandbox/db-private"
    sandbox_write_password "$password"
    "$here/mariadb-server" create-db "$link" "$password" hvx >&2
    sandbox_db_exports=""
  else
    case $db_socket in /*) ;; *) db_socket=$PWD/$db_socket ;; esac
    [ -S "$db_socket" ] || die "no database server socket at $db_socket"
    ln -sfn "$db_socket" "$link"
    sandbox_write_password "$db_password"
    name=hvx_$(sandbox_random 8)
    "$here/mariadb-server" create-db "$db_socket" "$db_password" "$name" >&2
    sandbox_db_exports="export HVX_DB_NAME=$name"
  fi
}
