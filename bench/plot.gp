# Time against entries for the four commands, from bench/run.sh's plot.dat:
# entries; then median, min and max wall seconds of QOR_DelTmp, GNU find, the
# listing floor and the unlink floor (columns 2-13); then the same for CPU
# seconds (14-25). Called with datafile and outfile set.
set terminal pngcairo size 900,400 font "sans,9"
set output outfile
set multiplot layout 1,2 title "Sweeping a full temp folder (median of runs; bars: min to max)"
set xlabel "entries in the folder"
set logscale xy
set format x "%.0s%c"
set key bottom right
set grid
set ylabel "wall seconds (whole process)"
plot datafile using 1:2:3:4 with yerrorlines lw 2 title "QOR\\_DelTmp", \
     ''       using 1:5:6:7 with yerrorlines lw 2 title "GNU find -delete", \
     ''       using 1:8:9:10 with yerrorlines lw 2 title "floor: getdents64 listing", \
     ''       using 1:11:12:13 with yerrorlines lw 2 title "floor: unlinkat of the matches"
set ylabel "CPU seconds (user + system)"
plot datafile using 1:14:15:16 with yerrorlines lw 2 title "QOR\\_DelTmp", \
     ''       using 1:17:18:19 with yerrorlines lw 2 title "GNU find -delete", \
     ''       using 1:20:21:22 with yerrorlines lw 2 title "floor: getdents64 listing", \
     ''       using 1:23:24:25 with yerrorlines lw 2 title "floor: unlinkat of the matches"
unset multiplot
