// A 16-bit RAM of 2048 words as two banks of 1024 words (addr[10] picks
// one), each bank two byte lanes: four 8-bit memories named as romwright
// names the lanes and banks of --memory=mem:...,lanes=2,banks=2 ("mem_b0_0"
// holds bits 7:0 of bank 0, "mem_b1_1" bits 15:8 of bank 1), each written
// by its lane's enable and loaded from its own placeholder.
module top (input clk, input [1:0] we, input [10:0] addr, input [15:0] din, output [15:0] data);
  reg [7:0] mem_b0_0 [0:1023];
  reg [7:0] mem_b0_1 [0:1023];
  reg [7:0] mem_b1_0 [0:1023];
  reg [7:0] mem_b1_1 [0:1023];
  initial $readmemh("mem_b0_0.seed", mem_b0_0);
  initial $readmemh("mem_b0_1.seed", mem_b0_1);
  initial $readmemh("mem_b1_0.seed", mem_b1_0);
  initial $readmemh("mem_b1_1.seed", mem_b1_1);
  reg [7:0] q00, q01, q10, q11;
  reg bank;
  always @(posedge clk) begin
    if (we[0] && !addr[10]) mem_b0_0[addr[9:0]] <= din[7:0];
    if (we[1] && !addr[10]) mem_b0_1[addr[9:0]] <= din[15:8];
    if (we[0] && addr[10]) mem_b1_0[addr[9:0]] <= din[7:0];
    if (we[1] && addr[10]) mem_b1_1[addr[9:0]] <= din[15:8];
    q00 <= mem_b0_0[addr[9:0]];
    q01 <= mem_b0_1[addr[9:0]];
    q10 <= mem_b1_0[addr[9:0]];
    q11 <= mem_b1_1[addr[9:0]];
    bank <= addr[10];
  end
  assign data = bank ? {q11, q10} : {q01, q00};
endmodule
