# Time against entries for the four commands, from bench/run.sh's plot.dat:
# entries, then median, min and max seconds of QOR_DelTmp, GNU find, the
# listing floor and the unlink floor. Called with datafile and outfile set.
set terminal pngcairo size 720,450 font "sans,10"
set output outfile
set title "Sweeping a full temp folder (median of runs, bars: min to max)"
set xlabel "entries in the folder"
set ylabel "seconds (whole process)"
set logscale xy
set format x "%.0s%c"
set key top left
set grid
plot datafile using 1:2:3:4 with yerrorlines lw 2 title "QOR\\_DelTmp", \
     ''       using 1:5:6:7 with yerrorlines lw 2 title "GNU find -delete", \
     ''       using 1:8:9:10 with yerrorlines lw 2 title "floor: getdents64 listing", \
     ''       using 1:11:12:13 with yerrorlines lw 2 title "floor: unlinkat of the matches"
