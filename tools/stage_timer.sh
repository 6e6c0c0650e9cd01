# Stage headings with elapsed times, sourced by the test scripts. `step NAME` ends the
# running stage (printing its time) and starts the next; the last one ends when the script
# exits. When STAGE_TIMES names a file, each stage's time is also appended there, so the
# outermost script can print one table of every stage, its children's included.
stage_name="" stage_start=$SECONDS
end_stage() {
  [ -n "$stage_name" ] || return 0
  local took=$((SECONDS - stage_start))
  printf '=== %s: %d s ===\n' "$stage_name" "$took"
  [ -z "${STAGE_TIMES:-}" ] || printf '%6d s  %s\n' "$took" "$stage_name" >>"$STAGE_TIMES"
  stage_name=""
}
step() {
  end_stage
  stage_name="$*" stage_start=$SECONDS
  printf '\n=== %s ===\n' "$*"
}
trap end_stage EXIT
