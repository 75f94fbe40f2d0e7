# Shared by tests/e2e/batch_test.sh and bench/batch_bench.sh (sourced): a lab's worth of small disk images of
# the example machine, made with examples/make_disk_image.sh and qemu-img.

# batch_bases SOURCE TOOL DIR: DIR/card.img, the example machine's FAT16 disk with the card installed, and
# DIR/clean.img, the same disk after a run.
batch_bases() {
    bash "$1/examples/make_disk_image.sh" "$3/card.img" fat16 >/dev/null || return 1
    cp --sparse=always "$3/card.img" "$3/clean.img"
    "$2" --image "$3/clean.img" --answer yes --no-backup -q </dev/null 2>/dev/null
}

# batch_image DIR N OUT: prints the path of a new image OUT.img, OUT.qcow2 or OUT.vdi (raw, qcow2 and VDI in
# turn as N goes), made from DIR's bases: with the card when N is even.
batch_image() {
    local base=$1/clean.img out
    [ $(($2 % 2)) = 0 ] && base=$1/card.img
    case $(($2 % 3)) in
    0) out=$3.img && cp --sparse=always "$base" "$out" ;;
    1) out=$3.qcow2 && qemu-img convert -O qcow2 "$base" "$out" ;;
    *) out=$3.vdi && qemu-img convert -O vdi "$base" "$out" ;;
    esac || return 1
    echo "$out"
}
