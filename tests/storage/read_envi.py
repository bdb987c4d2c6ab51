# Opens an ENVI cube with GDAL and with Spectral Python and prints, for each reader, four lines:
#   <reader> <lines> <samples> <bands> <element type>
#   every value in the order [line][sample][band] of the file (or, with --sum, their sum and
#   the values of the first and the last line, sample 0)
#   the band wavelengths ("%.6f")
#   done
import sys
import warnings

import numpy as np
from osgeo import gdal
import spectral.io.envi as envi

gdal.UseExceptions()
warnings.simplefilter("ignore")
header, data = sys.argv[1], sys.argv[2]
summary = "--sum" in sys.argv[3:]


def emit(name, lines, samples, bands, arr, wavelengths):
    print(name, lines, samples, bands, arr.dtype)
    if summary:
        print(int(arr.astype(np.int64).sum()), *arr[0, 0, :].tolist(), *arr[-1, 0, :].tolist())
    else:
        print(*arr.reshape(-1).tolist())
    print(*["%.6f" % w for w in wavelengths])
    print("done")


ds = gdal.Open(data)
stack = np.stack([ds.GetRasterBand(b + 1).ReadAsArray() for b in range(ds.RasterCount)], axis=-1)
waves = [float(ds.GetRasterBand(b + 1).GetMetadataItem("wavelength") or "nan") for b in range(ds.RasterCount)]
emit("gdal", ds.RasterYSize, ds.RasterXSize, ds.RasterCount, stack, waves)

img = envi.open(header, data)
arr = np.asarray(img.read_subregion((0, img.nrows), (0, img.ncols)))
emit("spectral", img.nrows, img.ncols, img.nbands, arr, img.bands.centers or [])
