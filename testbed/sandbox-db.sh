# Sourced by testbed/sandbox: brings up the sandbox's system database.
# Filled in with the database part of the testbed.
sandbox_db_up() {
  : > "$dir/etc/hvx/.hvx.shadow"
  sandbox_db_exports=""
}
